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
      transLogProb{} {
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

  std::array<EmitProbMap, STATUS_SUM> emit;
  // Named as the checks' messages name them.
  EmitProbMap& emitProbB = emit[B];
  EmitProbMap& emitProbE = emit[E];
  EmitProbMap& emitProbM = emit[M];
  EmitProbMap& emitProbS = emit[S];
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineB, );
  XCHECK_SITE(LoadEmitProb(line, emitProbB), BadContentError, sites::kModelEmitB, );
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineE, );
  XCHECK_SITE(LoadEmitProb(line, emitProbE), BadContentError, sites::kModelEmitE, );
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineM, );
  XCHECK_SITE(LoadEmitProb(line, emitProbM), BadContentError, sites::kModelEmitM, );
  XCHECK_SITE(GetLine(ifile, line), BadContentError, sites::kModelEmitLineS, );
  XCHECK_SITE(LoadEmitProb(line, emitProbS), BadContentError, sites::kModelEmitS, );
  BuildEmitRows(emit);
}

void HMMModel::BuildEmitRows(const std::array<EmitProbMap, STATUS_SUM>& tables) {
  emit_rows_.clear();
  emit_slots_.clear();
  std::unordered_map<Rune, uint32_t> row_of;
  for (size_t state = 0; state < STATUS_SUM; ++state) {
    for (const auto& [rune, value] : tables[state]) {
      auto [it, added] = row_of.emplace(rune, static_cast<uint32_t>(emit_rows_.size()));
      if (added) emit_rows_.push_back(EmitRow{{0.0, 0.0, 0.0, 0.0}, rune, 0});
      EmitRow& row = emit_rows_[it->second];
      row.value[state] = value;
      row.emits |= 1u << state;
    }
  }
  emit_rows_.shrink_to_fit();
  if (emit_rows_.empty()) return;
  unsigned bits = 1;
  while ((size_t{1} << bits) < 2 * emit_rows_.size()) ++bits;
  emit_mask_ = (size_t{1} << bits) - 1;
  emit_shift_ = 32 - bits;
  emit_slots_.assign(emit_mask_ + 1, 0);
  for (size_t r = 0; r < emit_rows_.size(); ++r) {
    size_t i = SlotHome(emit_rows_[r].rune);
    while (emit_slots_[i] != 0) i = (i + 1) & emit_mask_;
    emit_slots_[i] = static_cast<uint32_t>(r + 1);
  }
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
