#include "tokenizer/jieba/HMMModel.hpp"

#include <cstdlib>

#include "tokenizer/jieba/limonp/FileUtil.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace mira::typing::text::jieba {

using limonp::BadContentError;
using limonp::FileOpenError;
using limonp::Split;

namespace {

constexpr const char* kLocation = "csrc/tokenizer/jieba/HMMModel.hpp";

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

HMMModel::HMMModel(const std::string& model_path)
    : stateNames{'B', 'E', 'M', 'S'},
      startLogProb{},
      transLogProb{},
      emitProbTables{&emitProbB, &emitProbE, &emitProbM, &emitProbS} {
  LoadModel(model_path);
}

void HMMModel::LoadModel(const std::string& path) {
  std::ifstream ifile;
  limonp::OpenDataFile(ifile, path);
  XCHECK_AT(ifile.is_open(), FileOpenError, kLocation, 39, << "open " << path << " failed");
  std::string line;
  std::vector<std::string> tmp;

  XCHECK_AT(GetLine(ifile, line), BadContentError, kLocation, 44, );
  Split(line, tmp, " ");
  XCHECK_AT(tmp.size() == STATUS_SUM, BadContentError, kLocation, 46, );
  for (size_t j = 0; j < tmp.size(); ++j) startLogProb[j] = std::atof(tmp[j].c_str());

  for (size_t i = 0; i < STATUS_SUM; ++i) {
    XCHECK_AT(GetLine(ifile, line), BadContentError, kLocation, 53, );
    Split(line, tmp, " ");
    XCHECK_AT(tmp.size() == STATUS_SUM, BadContentError, kLocation, 55, );
    for (size_t j = 0; j < tmp.size(); ++j) transLogProb[i][j] = std::atof(tmp[j].c_str());
  }

  XCHECK_AT(GetLine(ifile, line), BadContentError, kLocation, 62, );
  XCHECK_AT(LoadEmitProb(line, emitProbB), BadContentError, kLocation, 63, );
  XCHECK_AT(GetLine(ifile, line), BadContentError, kLocation, 66, );
  XCHECK_AT(LoadEmitProb(line, emitProbE), BadContentError, kLocation, 67, );
  XCHECK_AT(GetLine(ifile, line), BadContentError, kLocation, 70, );
  XCHECK_AT(LoadEmitProb(line, emitProbM), BadContentError, kLocation, 71, );
  XCHECK_AT(GetLine(ifile, line), BadContentError, kLocation, 74, );
  XCHECK_AT(LoadEmitProb(line, emitProbS), BadContentError, kLocation, 75, );
}

bool HMMModel::GetLine(std::ifstream& ifile, std::string& line) {
  while (std::getline(ifile, line)) {
    size_t end = line.size();
    while (end > 0 && IsAsciiSpace(line[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && IsAsciiSpace(line[begin])) ++begin;
    line = line.substr(begin, end - begin);
    if (line.empty() || line[0] == '#') continue;
    return true;
  }
  return false;
}

bool HMMModel::LoadEmitProb(const std::string& line, EmitProbMap& table) {
  if (line.empty()) return false;
  std::vector<std::string> items;
  std::vector<std::string> parts;
  RuneArray runes;
  Split(line, items, ",");
  for (const std::string& item : items) {
    Split(item, parts, ":");
    if (parts.size() != 2) {
      XLOG_AT(ERROR, kLocation, 108) << "emitProb illegal.";
      return false;
    }
    if (!DecodeRunesInString(parts[0], runes) || runes.size() != 1) {
      XLOG_AT(ERROR, kLocation, 112) << "TransCode failed.";
      return false;
    }
    table[runes[0]] = std::atof(parts[1].c_str());
  }
  return true;
}

}  // namespace mira::typing::text::jieba
