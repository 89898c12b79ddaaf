// The trie and the max-probability cut against brute-force references on
// random dictionaries and sentences: the lattice must list exactly the
// dictionary words at each position, and the cut must be the best path with
// the shorter word winning ties.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/FullSegment.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/Trie.hpp"

namespace {

using mira::typing::text::jieba::Dag;
using mira::typing::text::jieba::DecodeRunesInString;
using mira::typing::text::jieba::DictTrie;
using mira::typing::text::jieba::DictUnit;
using mira::typing::text::jieba::FullSegment;
using mira::typing::text::jieba::MP_MIN_WEIGHT;
using mira::typing::text::jieba::MPSegment;
using mira::typing::text::jieba::Rune;
using mira::typing::text::jieba::RuneArray;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::Trie;
using mira::typing::text::jieba::WordRange;
using mira_test::RandomCjk;

using Key = std::vector<Rune>;

// The weight the walk reports for a single rune that is no word.
constexpr double kMissing = -1e9;

struct Case {
  uint32_t seed;
  size_t alphabet;  // a small one makes long shared prefixes
  size_t words;
  size_t max_len;   // longest lattice word asked for
};

std::string Name(const testing::TestParamInfo<Case>& info) {
  return "seed" + std::to_string(info.param.seed) + "_abc" + std::to_string(info.param.alphabet) +
         "_len" + std::to_string(info.param.max_len);
}

class TrieReferenceTest : public testing::TestWithParam<Case> {};

// Lattice of [runes) from the map of every key to its last entry.
std::vector<std::vector<std::pair<size_t, const DictUnit*>>> ReferenceLattice(
    const std::map<Key, const DictUnit*>& dict, const RuneStrArray& runes, size_t max_len) {
  std::vector<std::vector<std::pair<size_t, const DictUnit*>>> out(runes.size());
  for (size_t i = 0; i < runes.size(); ++i) {
    Key key{runes[i].rune};
    const auto single = dict.find(key);
    out[i].emplace_back(i, single == dict.end() ? nullptr : single->second);
    for (size_t j = i + 1; j < runes.size() && j - i + 1 <= max_len; ++j) {
      key.push_back(runes[j].rune);
      const auto it = dict.find(key);
      if (it != dict.end()) out[i].emplace_back(j, it->second);
    }
  }
  return out;
}

TEST_P(TrieReferenceTest, LatticeAndWholeWordLookupMatchAMap) {
  const Case& c = GetParam();
  std::mt19937 rng(c.seed);
  std::vector<DictUnit> units;
  units.reserve(c.words);
  std::vector<RuneArray> keys;
  std::vector<const DictUnit*> values;
  for (size_t i = 0; i < c.words; ++i) {
    RuneArray word;
    const std::string text = RandomCjk(rng, c.alphabet, 1 + rng() % 6);
    ASSERT_TRUE(DecodeRunesInString(text, word));
    units.push_back(DictUnit{word, -1.0 - 0.125 * static_cast<double>(i), std::to_string(i)});
  }
  std::map<Key, const DictUnit*> reference;
  for (const DictUnit& u : units) {
    keys.push_back(u.runes);
    values.push_back(&u);
    reference[Key(u.runes.begin(), u.runes.end())] = &u;  // repeats: the later one
  }
  const Trie trie(keys, values);
  // The same entries already in key order (repeats keep their order) take
  // the build's sorted-input path and must give the same trie.
  std::vector<size_t> by_key(units.size());
  for (size_t i = 0; i < by_key.size(); ++i) by_key[i] = i;
  std::stable_sort(by_key.begin(), by_key.end(), [&units](size_t a, size_t b) {
    return Key(units[a].runes.begin(), units[a].runes.end()) <
           Key(units[b].runes.begin(), units[b].runes.end());
  });
  std::vector<RuneArray> sorted_keys;
  std::vector<const DictUnit*> sorted_values;
  for (size_t i : by_key) {
    sorted_keys.push_back(units[i].runes);
    sorted_values.push_back(&units[i]);
  }
  const Trie sorted_trie(sorted_keys, sorted_values);
  // Entries that do not lie in one array: every other one is a copy kept
  // elsewhere, so the trie cannot number them within one block.
  const std::vector<DictUnit> copies(units);
  std::vector<const DictUnit*> scattered_values(values);
  for (size_t i = 1; i < scattered_values.size(); i += 2) scattered_values[i] = &copies[i];
  const Trie scattered_trie(keys, scattered_values);
  for (int round = 0; round < 20; ++round) {
    RuneStrArray runes;
    ASSERT_TRUE(DecodeRunesInString(RandomCjk(rng, c.alphabet + 2, 1 + rng() % 40), runes));
    std::vector<Dag> dags;
    trie.Find(runes.begin(), runes.end(), dags, c.max_len);
    const auto expected = ReferenceLattice(reference, runes, c.max_len);
    std::vector<Dag> sorted_dags;
    sorted_trie.Find(runes.begin(), runes.end(), sorted_dags, c.max_len);
    ASSERT_EQ(sorted_dags.size(), expected.size());
    for (size_t i = 0; i < sorted_dags.size(); ++i) {
      ASSERT_EQ(sorted_dags[i].next_words.size(), dags[i].next_words.size());
      for (size_t k = 0; k < dags[i].next_words.size(); ++k) {
        EXPECT_EQ(sorted_dags[i].next_words[k].first, dags[i].next_words[k].first);
        EXPECT_EQ(sorted_dags[i].next_words[k].second, dags[i].next_words[k].second);
      }
    }
    ASSERT_EQ(dags.size(), expected.size());
    for (size_t i = 0; i < dags.size(); ++i) {
      std::vector<std::pair<size_t, const DictUnit*>> got;
      for (const auto& p : dags[i].next_words) got.emplace_back(p.first, p.second);
      EXPECT_EQ(got, expected[i]) << "round " << round << " position " << i;
      EXPECT_EQ(dags[i].rune_str.rune, runes[i].rune);
      // The weight walk lists the same candidates with their entries' weights.
      std::vector<std::pair<size_t, double>> weights;
      for (const auto& [end, unit] : expected[i]) {
        weights.emplace_back(end - i, unit == nullptr ? kMissing : unit->weight);
      }
      for (const Trie* t : {&trie, &scattered_trie}) {
        std::vector<std::pair<size_t, double>> walked;
        t->ForEachPrefixWeight(runes.begin() + i, runes.end(), c.max_len, kMissing,
                               [&walked](size_t k, double w) { walked.emplace_back(k, w); });
        EXPECT_EQ(walked, weights) << "round " << round << " position " << i;
        std::vector<std::pair<size_t, double>> units_walked;
        t->ForEachPrefix(runes.begin() + i, runes.end(), c.max_len,
                         [&units_walked](size_t k, const DictUnit* unit) {
                           units_walked.emplace_back(k, unit == nullptr ? kMissing : unit->weight);
                         });
        EXPECT_EQ(units_walked, weights) << "round " << round << " position " << i;
      }
    }
    for (size_t i = 0; i < runes.size(); ++i) {
      Key key;
      for (size_t j = i; j < runes.size() && j - i < 7; ++j) {
        key.push_back(runes[j].rune);
        const auto it = reference.find(key);
        EXPECT_EQ(trie.Find(runes.begin() + i, runes.begin() + j + 1),
                  it == reference.end() ? nullptr : it->second);
      }
    }
  }
}

// Writes a random main dictionary (and user words) and checks the
// max-probability cut against dynamic programming over the reference
// lattice, and the full cut against its rule applied to that lattice.
TEST_P(TrieReferenceTest, CutsMatchTheReferenceLattice) {
  const Case& c = GetParam();
  std::mt19937 rng(c.seed * 7 + 1);
  std::string main_text;
  for (size_t i = 0; i < c.words; ++i) {
    // Few distinct frequencies make equal-weight paths, so ties are tested.
    main_text += RandomCjk(rng, c.alphabet, 1 + rng() % 5) + " " + std::to_string(1 + rng() % 4) +
                 " n\n";
  }
  std::string user_text;
  for (size_t i = 0; i < c.words / 10; ++i) user_text += RandomCjk(rng, c.alphabet, 2) + "\n";
  const std::string main_path =
      mira_test::WriteTemp("ref_dict_" + std::to_string(c.seed) + ".txt", main_text);
  const std::string user_path =
      mira_test::WriteTemp("ref_user_" + std::to_string(c.seed) + ".txt", user_text);
  const DictTrie dict(main_path, user_path);
  std::map<Key, const DictUnit*> reference;
  for (const DictUnit& u : dict.Units()) reference[Key(u.runes.begin(), u.runes.end())] = &u;
  const MPSegment mp(&dict);
  const FullSegment full(&dict);

  for (int round = 0; round < 30; ++round) {
    RuneStrArray runes;
    ASSERT_TRUE(DecodeRunesInString(RandomCjk(rng, c.alphabet + 2, 1 + rng() % 60), runes));
    const size_t n = runes.size();
    const auto lattice = ReferenceLattice(reference, runes, c.max_len);

    std::vector<double> best(n + 1, 0.0);
    std::vector<size_t> len(n, 1);
    for (size_t i = n; i-- > 0;) {
      best[i] = MP_MIN_WEIGHT;
      for (const auto& [k, unit] : lattice[i]) {
        const double value = best[k + 1] + (unit ? unit->weight : dict.LowestWeight());
        if (value > best[i]) {
          best[i] = value;
          len[i] = unit ? unit->runes.size() : 1;
        }
      }
    }
    std::vector<std::pair<size_t, size_t>> expected;
    for (size_t i = 0; i < n; i += len[i]) expected.emplace_back(i, i + len[i] - 1);

    std::vector<WordRange> words;
    mp.Cut(runes.begin(), runes.end(), words, c.max_len);
    std::vector<std::pair<size_t, size_t>> got;
    for (const WordRange& w : words) {
      got.emplace_back(w.left - runes.begin(), w.right - runes.begin());
    }
    EXPECT_EQ(got, expected) << "round " << round;

    if (c.max_len < 512) continue;
    std::vector<std::pair<size_t, size_t>> full_expected;
    size_t reach = 0;
    for (size_t i = 0; i < n; ++i) {
      for (const auto& [k, unit] : lattice[i]) {
        const size_t word_len = unit ? unit->runes.size() : 1;
        if (word_len >= 2 || (lattice[i].size() == 1 && reach <= i)) {
          full_expected.emplace_back(i, k);
        }
        reach = std::max(reach, i + word_len);
      }
    }
    words.clear();
    full.Cut(runes.begin(), runes.end(), words);
    got.clear();
    for (const WordRange& w : words) {
      got.emplace_back(w.left - runes.begin(), w.right - runes.begin());
    }
    EXPECT_EQ(got, full_expected) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Random, TrieReferenceTest,
                         testing::Values(Case{1, 2, 40, 512}, Case{2, 3, 200, 512},
                                         Case{3, 5, 500, 3}, Case{4, 12, 2000, 512},
                                         Case{5, 40, 3000, 2}, Case{6, 4, 300, 1}),
                         Name);

}  // namespace
