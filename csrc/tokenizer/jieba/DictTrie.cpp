#include "tokenizer/jieba/DictTrie.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>
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
  // Without a positive total no word has a probability (a corpus of
  // three-word lines reads so): every cut would be arbitrary.
  XCHECK_SITE(total_frequency_ > 0 && std::isfinite(total_frequency_), limonp::BadContentError,
              log_sites::kDictNoFrequency,
              << "no word of " << dict_path << " has a usable frequency");
  if (!user_dict_paths.empty()) LoadUserDict(user_dict_paths);
  rune_pool_.shrink_to_fit();
  BindRunes();
  scratch_.clear();
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
  // One entry per line: sizing the containers up front spares the copies
  // (and the memory they leave behind) of growing them line by line.
  const size_t line_count = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
  static_node_infos_.reserve(line_count);
  rune_starts_.reserve(line_count + 1);
  rune_pool_.reserve(line_count * 3);
  limonp::LineCursor lines(text);
  std::string_view line;
  std::vector<std::string_view> buf;
  while (lines.Next(line)) {
    limonp::SplitView(line, buf, " ");
    XCHECK_SITE(buf.size() == DICT_COLUMN_NUM, limonp::BadContentError, log_sites::kDictColumns,
                << "split result illegal, line:" << line);
    DictUnit node_info;
    // An undecodable word could never be found; it must not skew the weights.
    MakeNodeInfo(node_info, buf[0], limonp::ParseDouble(buf[1]), buf[2]);
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
    const size_t before = static_node_infos_.size();
    bool blank = true;
    while (lines.Next(line)) {
      if (line.empty()) continue;
      blank = false;
      InsertUserDictNode(line);
    }
    // An empty file adds no word, as it should; a file with text that adds
    // none (a corpus of long lines, say) is no user dictionary.
    XCHECK_SITE(blank || static_node_infos_.size() > before, limonp::BadContentError,
                log_sites::kUserDictNoWord, << "no line of " << path << " names a word");
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
  if (decoded && scratch_.size() == 1) user_single_runes_.insert(scratch_[0]);
}

bool DictTrie::MakeNodeInfo(DictUnit& unit, std::string_view word, double weight,
                            std::string_view tag) {
  if (!DecodeRunesInString(word.data(), word.size(), scratch_)) {
    XLOG_SITE(ERROR, log_sites::kWordDecode) << "Decode " << word << " failed.";
    return false;
  }
  if (rune_starts_.empty()) rune_starts_.push_back(0);
  if (rune_pool_.size() + scratch_.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("dictionary too large");
  }
  rune_pool_.insert(rune_pool_.end(), scratch_.begin(), scratch_.end());
  rune_starts_.push_back(static_cast<uint32_t>(rune_pool_.size()));
  unit.weight = weight;
  unit.tag = InternTag(tag);
  static_node_infos_.push_back(std::move(unit));
  return true;
}

TagText DictTrie::InternTag(std::string_view tag) {
  if (tag.empty()) return TagText();
  // Tags are short: the key emplace builds per line stays in the string's
  // inline buffer.
  return TagText::View(&*tags_.emplace(tag).first);
}

void DictTrie::BindRunes() {
  for (size_t i = 0; i < static_node_infos_.size(); ++i) {
    static_node_infos_[i].runes =
        WordRunes::View(rune_pool_.data() + rune_starts_[i], rune_starts_[i + 1] - rune_starts_[i]);
  }
  std::vector<uint32_t>().swap(rune_starts_);
}

void DictTrie::SetStaticWordWeights(UserWordWeightOption option) {
  XCHECK_SITE(!static_node_infos_.empty(), limonp::BadContentError, log_sites::kDictNotEmpty, );
  // Only the weights are ordered, and only as far as needed: the lowest,
  // the highest and the one at index size/2 of the ascending order.
  std::vector<double> weights;
  weights.reserve(static_node_infos_.size());
  for (const DictUnit& unit : static_node_infos_) weights.push_back(unit.weight);
  lowest_weight_ = *std::min_element(weights.begin(), weights.end(), WeightLess);
  highest_weight_ = *std::max_element(weights.begin(), weights.end(), WeightLess);
  std::nth_element(weights.begin(), weights.begin() + weights.size() / 2, weights.end(),
                   WeightLess);
  middle_weight_ = weights[weights.size() / 2];
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
  if (units.capacity() == units.size()) return;
  std::vector<DictUnit>(units.begin(), units.end()).swap(units);
}

void DictTrie::CreateTrie(const std::vector<DictUnit>& units) {
  std::vector<TrieEntry> entries;
  entries.reserve(units.size());
  for (const DictUnit& unit : units) entries.push_back(TrieEntry{unit.runes.begin(), unit.runes.size(), &unit});
  trie_ = std::make_unique<Trie>(entries);
}

}  // namespace mira::typing::text::jieba
