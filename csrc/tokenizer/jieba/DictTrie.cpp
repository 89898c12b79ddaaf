#include "tokenizer/jieba/DictTrie.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <utility>

#include "tokenizer/jieba/LogSites.hpp"
#include "tokenizer/jieba/limonp/FileUtil.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace mira::typing::text::jieba {

namespace {

// Ascending weight. NaN (from a zero total or a negative frequency) sorts
// last so that the ordering stays strict-weak and sorting stays well defined.
bool WeightLess(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}
}  // namespace

DictTrie::DictTrie(const std::string& dict_path, const std::string& user_dict_paths,
                   UserWordWeightOption option) {
  Init(dict_path, user_dict_paths, option);
}

DictTrie::~DictTrie() = default;

void DictTrie::Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
                    size_t max_word_len) const {
  trie_->Find(begin, end, res, max_word_len);
}

const DictUnit* DictTrie::Find(const RuneStr* begin, const RuneStr* end) const {
  return trie_->Find(begin, end);
}

bool DictTrie::WeightCompare(const DictUnit& a, const DictUnit& b) {
  return WeightLess(a.weight, b.weight);
}

void DictTrie::Init(const std::string& dict_path, const std::string& user_dict_paths,
                    UserWordWeightOption option) {
  LoadDict(dict_path);
  total_frequency_ = 0.0;
  for (const DictUnit& unit : static_node_infos_) total_frequency_ += unit.weight;
  for (DictUnit& unit : static_node_infos_) unit.weight = std::log(unit.weight / total_frequency_);
  SetStaticWordWeights(option);
  if (!user_dict_paths.empty()) LoadUserDict(user_dict_paths);
  Shrink(static_node_infos_);
  CreateTrie(static_node_infos_);
}

void DictTrie::LoadDict(const std::string& path) {
  std::ifstream ifs;
  limonp::OpenDataFile(ifs, path);
  XCHECK_SITE(ifs.is_open(), limonp::FileOpenError, log_sites::kDictOpen,
              << "open " << path << " failed.");
  std::string text;
  limonp::ReadAll(ifs, text);
  limonp::LineCursor lines(text);
  std::string_view line;
  std::vector<std::string_view> buf;
  while (lines.Next(line)) {
    limonp::SplitView(line, buf, " ");
    XCHECK_SITE(buf.size() == DICT_COLUMN_NUM, limonp::BadContentError, log_sites::kDictColumns,
                << "split result illegal, line:" << line);
    DictUnit node_info;
    // An undecodable word could never be found; it must not skew the weights.
    if (!MakeNodeInfo(node_info, buf[0], limonp::ParseDouble(buf[1]), buf[2])) continue;
    static_node_infos_.push_back(std::move(node_info));
  }
}

void DictTrie::LoadUserDict(const std::string& paths) {
  std::vector<std::string> files;
  limonp::Split(paths, files, "|;");
  std::string text;
  std::string_view line;
  for (const std::string& path : files) {
    std::ifstream ifs;
    limonp::OpenDataFile(ifs, path);
    XCHECK_SITE(ifs.is_open(), limonp::FileOpenError, log_sites::kUserDictOpen,
                << "open " << path << " failed");
    limonp::ReadAll(ifs, text);
    limonp::LineCursor lines(text);
    while (lines.Next(line)) {
      if (line.empty()) continue;
      InsertUserDictNode(line);
    }
  }
}

void DictTrie::InsertUserDictNode(std::string_view line) {
  std::vector<std::string_view> buf;
  limonp::SplitView(line, buf, " ");
  DictUnit node_info;
  bool decoded = false;
  if (buf.size() == DICT_COLUMN_NUM) {
    const double freq = static_cast<double>(limonp::ParseInt(buf[1]));
    decoded = MakeNodeInfo(node_info, buf[0], std::log(freq / total_frequency_), buf[2]);
  } else if (buf.size() == 2) {
    decoded = MakeNodeInfo(node_info, buf[0], user_default_weight_, buf[1]);
  } else if (buf.size() == 1) {
    decoded = MakeNodeInfo(node_info, buf[0], user_default_weight_, "");
  }
  // Lines with 0 or more than 3 fields add nothing; undecodable words could
  // never be found.
  if (!decoded) return;
  if (node_info.runes.size() == 1) user_single_runes_.insert(node_info.runes[0]);
  static_node_infos_.push_back(std::move(node_info));
}

bool DictTrie::MakeNodeInfo(DictUnit& unit, std::string_view word, double weight,
                            std::string_view tag) const {
  if (!DecodeRunesInString(word.data(), word.size(), unit.runes)) {
    XLOG_SITE(ERROR, log_sites::kWordDecode) << "Decode " << word << " failed.";
    return false;
  }
  unit.weight = weight;
  unit.tag = tag;
  return true;
}

void DictTrie::SetStaticWordWeights(UserWordWeightOption option) {
  XCHECK_SITE(!static_node_infos_.empty(), limonp::BadContentError, log_sites::kDictNotEmpty, );
  // Only the weights are ordered: copying whole entries would double the
  // dictionary's footprint while loading.
  std::vector<double> sorted;
  sorted.reserve(static_node_infos_.size());
  for (const DictUnit& unit : static_node_infos_) sorted.push_back(unit.weight);
  std::sort(sorted.begin(), sorted.end(), WeightLess);
  lowest_weight_ = sorted.front();
  highest_weight_ = sorted.back();
  middle_weight_ = sorted[sorted.size() / 2];
  switch (option) {
    case kUserWeightMin:
      user_default_weight_ = lowest_weight_;
      break;
    case kUserWeightMedian:
      user_default_weight_ = middle_weight_;
      break;
    default:
      user_default_weight_ = highest_weight_;
      break;
  }
}

void DictTrie::Shrink(std::vector<DictUnit>& units) const {
  std::vector<DictUnit>(units.begin(), units.end()).swap(units);
}

void DictTrie::CreateTrie(const std::vector<DictUnit>& units) {
  std::vector<RuneArray> keys;
  std::vector<const DictUnit*> values;
  keys.reserve(units.size());
  values.reserve(units.size());
  for (const DictUnit& unit : units) {
    keys.push_back(unit.runes);
    values.push_back(&unit);
  }
  trie_ = std::make_unique<Trie>(keys, values);
}

}  // namespace mira::typing::text::jieba
