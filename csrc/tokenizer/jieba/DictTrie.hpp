// The word dictionary: main and user dictionary files loaded into weighted
// entries (natural-log probabilities) and a Trie over them.
//
// Everything happens in the constructor; afterwards the object is immutable,
// so any number of threads may read it. The entries' runes are views into
// one rune pool and their tags point into one table of distinct tags; the
// Trie points into the entry vector. None of these change after loading.
//
// Main dictionary: one "word frequency tag" line per entry, fields separated
// by exactly one blank. User dictionaries (several paths joined by "|" or
// ";"): lines of "word", "word tag" or "word frequency tag"; empty lines are
// skipped. Weights, the total frequency and the lowest, middle and highest
// weights come from the main dictionary only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Trie.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace mira::typing::text::jieba {

// Weight of a user word that carries no frequency. Values other than 0 and
// 1 act as kUserWeightMax.
enum UserWordWeightOption : int32_t {
  kUserWeightMin = 0,
  kUserWeightMedian = 1,
  kUserWeightMax = 2,
};

constexpr size_t DICT_COLUMN_NUM = 3;

class DictTrie {
 public:
  // Loads the dictionaries; throws limonp::FileOpenError when a file cannot
  // be opened and limonp::BadContentError on a malformed main dictionary.
  explicit DictTrie(const std::string& dict_path, const std::string& user_dict_paths = "",
                    UserWordWeightOption option = kUserWeightMedian);
  ~DictTrie();
  DictTrie(const DictTrie&) = delete;
  DictTrie& operator=(const DictTrie&) = delete;

  // Lattice of [begin, end); see Trie::Find.
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
            size_t max_word_len = 512) const;
  // The entry of exactly the runes of [begin, end), or null.
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const;
  // The lattice candidates of the single position begin, without building a
  // lattice; see Trie::ForEachPrefix.
  template <class Visit>
  void ForEachPrefix(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
                     Visit&& visit) const {
    trie_->ForEachPrefix(begin, end, max_word_len, std::forward<Visit>(visit));
  }
  // The same walk with the candidates' weights; see Trie::ForEachPrefixWeight.
  template <class Visit>
  void ForEachPrefixWeight(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
                           double missing_weight, Visit&& visit) const {
    trie_->ForEachPrefixWeight(begin, end, max_word_len, missing_weight,
                               std::forward<Visit>(visit));
  }
  const Trie& GetTrie() const { return *trie_; }

  // Smallest weight of the main dictionary (the cost of an unknown rune).
  double LowestWeight() const { return lowest_weight_; }
  double HighestWeight() const { return highest_weight_; }
  double MiddleWeight() const { return middle_weight_; }
  double UserDefaultWeight() const { return user_default_weight_; }
  // Sum of the main dictionary's raw frequencies.
  double TotalFrequency() const { return total_frequency_; }
  // True when a user dictionary lists r as a one-rune word.
  bool IsUserDictSingleRune(Rune r) const { return user_single_runes_.count(r) > 0; }
  // Every entry: main dictionary in file order, then user dictionaries.
  const std::vector<DictUnit>& Units() const { return static_node_infos_; }

  static bool WeightCompare(const DictUnit& a, const DictUnit& b);

 private:
  void Init(const std::string& dict_path, const std::string& user_dict_paths,
            UserWordWeightOption option);
  void LoadDict(const std::string& path);
  void LoadUserDict(const std::string& paths);
  void InsertUserDictNode(std::string_view line);
  // Decodes word into the rune pool and appends its entry; false (with an
  // ERROR line, nothing appended) when word is not valid UTF-8.
  bool MakeNodeInfo(DictUnit& unit, std::string_view word, double weight,
                    std::string_view tag);
  // Points every entry's runes into the finished pool.
  void BindRunes();
  TagText InternTag(std::string_view tag);
  void SetStaticWordWeights(UserWordWeightOption option);
  void Shrink(std::vector<DictUnit>& units) const;
  void CreateTrie(const std::vector<DictUnit>& units);

  std::vector<DictUnit> static_node_infos_;
  std::vector<Rune> rune_pool_;
  // Start of each entry's runes in rune_pool_, plus the end: only while
  // loading (the pool moves as it grows).
  std::vector<uint32_t> rune_starts_;
  std::unordered_set<std::string> tags_;
  RuneArray scratch_;
  std::unique_ptr<Trie> trie_;
  double total_frequency_ = 0.0;
  double lowest_weight_ = 0.0;
  double highest_weight_ = 0.0;
  double middle_weight_ = 0.0;
  double user_default_weight_ = 0.0;
  std::unordered_set<Rune> user_single_runes_;
};

}  // namespace mira::typing::text::jieba
