#include "tokenizer/jieba/HMMModel.hpp"

#include <string_view>

#include "tokenizer/jieba/LogSites.hpp"
#include "tokenizer/jieba/limonp/FileUtil.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace mira::typing::text::jieba {

using limonp::BadContentError;
using limonp::FileOpenError;

namespace {

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
  namespace sites = log_sites;
  std::ifstream ifile;
  limonp::OpenDataFile(ifile, path);
  XCHECK_SITE(ifile.is_open(), FileOpenError, sites::kModelOpen, << "open " << path << " failed");
  std::string line;
  std::vector<std::string_view> tmp;

  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelStartLine, );
  limonp::SplitView(line, tmp, " ");
  XCHECK_SITE(tmp.size() == STATUS_SUM, BadContentError, sites::kModelStartFields, );
  for (size_t j = 0; j < tmp.size(); ++j) startLogProb[j] = limonp::ParseDouble(tmp[j]);

  for (size_t i = 0; i < STATUS_SUM; ++i) {
    XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelTransLine, );
    limonp::SplitView(line, tmp, " ");
    XCHECK_SITE(tmp.size() == STATUS_SUM, BadContentError, sites::kModelTransFields, );
    for (size_t j = 0; j < tmp.size(); ++j) transLogProb[i][j] = limonp::ParseDouble(tmp[j]);
  }

  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineB, );
  XCHECK_SITE(LoadEmitProb(line, emitProbB), BadContentError, sites::kModelEmitB, );
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineE, );
  XCHECK_SITE(LoadEmitProb(line, emitProbE), BadContentError, sites::kModelEmitE, );
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineM, );
  XCHECK_SITE(LoadEmitProb(line, emitProbM), BadContentError, sites::kModelEmitM, );
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineS, );
  XCHECK_SITE(LoadEmitProb(line, emitProbS), BadContentError, sites::kModelEmitS, );
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
  std::vector<std::string_view> items;
  std::vector<std::string_view> parts;
  RuneArray runes;
  limonp::SplitView(line, items, ",");
  table.reserve(table.size() + items.size());
  for (const std::string_view item : items) {
    limonp::SplitView(item, parts, ":");
    if (parts.size() != 2) {
      XLOG_SITE(ERROR, log_sites::kModelEmitItem) << "emitProb illegal.";
      return false;
    }
    if (!DecodeRunesInString(parts[0].data(), parts[0].size(), runes) || runes.size() != 1) {
      XLOG_SITE(ERROR, log_sites::kModelEmitRune) << "TransCode failed.";
      return false;
    }
    table[runes[0]] = limonp::ParseDouble(parts[1]);
  }
  return true;
}

}  // namespace mira::typing::text::jieba
