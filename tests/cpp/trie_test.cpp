#include "tokenizer/jieba/Trie.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using mira::typing::text::jieba::Dag;
using mira::typing::text::jieba::DecodeRunesInString;
using mira::typing::text::jieba::DictUnit;
using mira::typing::text::jieba::RuneArray;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::Trie;

// A, B, C, D stand for the runes 甲 乙 丙 丁 so multi-byte decoding is on the path.
std::string Cjk(const std::string& abc) {
  static const char* const kRunes[] = {"\xE7\x94\xB2", "\xE4\xB9\x99", "\xE4\xB8\x99",
                                       "\xE4\xB8\x81"};
  std::string out;
  for (char c : abc) out += kRunes[c - 'A'];
  return out;
}

RuneArray Key(const std::string& abc) {
  RuneArray runes;
  EXPECT_TRUE(DecodeRunesInString(Cjk(abc), runes));
  return runes;
}

// Owns the entries so the trie's pointers stay valid; names each entry by its word.
struct Fixture {
  std::vector<DictUnit> units;
  std::vector<std::string> names;
  explicit Fixture(const std::vector<std::string>& words) {
    units.reserve(words.size());
    for (const auto& w : words) {
      units.push_back(DictUnit{Key(w), -1.0, w});
      names.push_back(w);
    }
  }
  Trie Build() const {
    std::vector<RuneArray> keys;
    std::vector<const DictUnit*> values;
    for (const auto& u : units) {
      keys.push_back(u.runes);
      values.push_back(&u);
    }
    return Trie(keys, values);
  }
};

// Renders next_words as "end:word" items, "end:-" for a null entry.
std::vector<std::string> Render(const Dag& dag) {
  std::vector<std::string> out;
  for (const auto& p : dag.next_words) {
    out.push_back(std::to_string(p.first) + ":" + (p.second ? p.second->tag : "-"));
  }
  return out;
}

struct LatticeCase {
  const char* name;
  std::vector<std::string> words;
  std::string text;
  size_t max_word_len;
  std::vector<std::vector<std::string>> expected;  // per position
};

class LatticeTest : public testing::TestWithParam<LatticeCase> {};

TEST_P(LatticeTest, CandidatesPerPosition) {
  const LatticeCase& c = GetParam();
  Fixture f(c.words);
  Trie trie = f.Build();
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(Cjk(c.text), runes));
  std::vector<Dag> dags(5);  // stale records must not survive
  dags[0].next_words.push_back({9, nullptr});
  trie.Find(runes.begin(), runes.end(), dags, c.max_word_len);
  ASSERT_EQ(dags.size(), c.expected.size());
  for (size_t i = 0; i < dags.size(); ++i) {
    EXPECT_EQ(Render(dags[i]), c.expected[i]) << "position " << i;
    EXPECT_EQ(dags[i].rune_str.rune, runes[i].rune);
    EXPECT_EQ(dags[i].rune_str.byte_offset, runes[i].byte_offset);
    EXPECT_EQ(dags[i].best_unit, nullptr);
    EXPECT_EQ(dags[i].best_weight, 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LatticeTest,
    testing::Values(
        LatticeCase{"nested_words", {"A", "AB", "ABC"}, "ABC", 512,
                    {{"0:A", "1:AB", "2:ABC"}, {"1:-"}, {"2:-"}}},
        LatticeCase{"intermediate_without_value", {"ABC"}, "ABC", 512,
                    {{"0:-", "2:ABC"}, {"1:-"}, {"2:-"}}},
        LatticeCase{"max_len_two", {"A", "AB", "ABC"}, "ABC", 2,
                    {{"0:A", "1:AB"}, {"1:-"}, {"2:-"}}},
        LatticeCase{"max_len_zero_keeps_single", {"A", "AB"}, "AB", 0, {{"0:A"}, {"1:-"}}},
        LatticeCase{"unknown_first_rune", {"BC"}, "DBC", 512, {{"0:-"}, {"1:-", "2:BC"}, {"2:-"}}},
        LatticeCase{"word_longer_than_text", {"ABCD"}, "ABC", 512, {{"0:-"}, {"1:-"}, {"2:-"}}},
        LatticeCase{"overlapping_words", {"AB", "BC", "C"}, "ABC", 512,
                    {{"0:-", "1:AB"}, {"1:-", "2:BC"}, {"2:C"}}},
        LatticeCase{"repeated_rune", {"AA", "AAA"}, "AAAA", 512,
                    {{"0:-", "1:AA", "2:AAA"}, {"1:-", "2:AA", "3:AAA"}, {"2:-", "3:AA"}, {"3:-"}}},
        LatticeCase{"empty_trie", {}, "AB", 512, {{"0:-"}, {"1:-"}}},
        LatticeCase{"empty_text", {"A"}, "", 512, {}}),
    [](const testing::TestParamInfo<LatticeCase>& info) { return std::string(info.param.name); });

TEST(TrieFind, WholeWord) {
  Fixture f({"ABC", "B"});
  Trie trie = f.Build();
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(Cjk("ABCD"), runes));
  const auto* r = runes.begin();
  EXPECT_EQ(trie.Find(r, r + 3), &f.units[0]);
  EXPECT_EQ(trie.Find(r, r + 2), nullptr);  // prefix only
  EXPECT_EQ(trie.Find(r + 1, r + 2), &f.units[1]);
  EXPECT_EQ(trie.Find(r, r + 4), nullptr);  // runs past the word
  EXPECT_EQ(trie.Find(r + 3, r + 4), nullptr);
  EXPECT_EQ(trie.Find(r, r), nullptr);
}

TEST(TrieInsert, LaterInsertionWinsAndEmptyKeyIsIgnored) {
  Fixture f({"AB", "AB", "A"});
  f.units[1].tag = "second";
  Trie trie = f.Build();
  trie.InsertNode(RuneArray(), &f.units[2]);
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(Cjk("AB"), runes));
  EXPECT_EQ(trie.Find(runes.begin(), runes.end()), &f.units[1]);
  std::vector<Dag> dags;
  trie.Find(runes.begin(), runes.end(), dags);
  EXPECT_EQ(Render(dags[0]), (std::vector<std::string>{"0:A", "1:second"}));
  EXPECT_EQ(trie.Find(runes.begin(), runes.begin()), nullptr);
}

TEST(TrieConstruct, MismatchedSizesAreRejectedButEitherEmptyInsertsNothing) {
  Fixture f({"A", "B"});
  std::vector<RuneArray> keys{f.units[0].runes, f.units[1].runes};
  std::vector<const DictUnit*> one{&f.units[0]};
  EXPECT_THROW(Trie(keys, one), std::invalid_argument);
  Trie empty(keys, {});
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(Cjk("A"), runes));
  EXPECT_EQ(empty.Find(runes.begin(), runes.end()), nullptr);
}

TEST(TrieFind, MoreThanSixteenCandidatesAtOnePosition) {
  std::vector<std::string> words;
  for (size_t n = 1; n <= 20; ++n) words.push_back(std::string(n, 'A'));
  Fixture f(words);
  Trie trie = f.Build();
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(Cjk(std::string(20, 'A')), runes));
  std::vector<Dag> dags;
  trie.Find(runes.begin(), runes.end(), dags);
  ASSERT_EQ(dags[0].next_words.size(), 20u);
  for (size_t k = 0; k < 20; ++k) {
    EXPECT_EQ(dags[0].next_words[k].first, k);
    EXPECT_EQ(dags[0].next_words[k].second, &f.units[k]);
  }
  EXPECT_EQ(dags[19].next_words.size(), 1u);
}

TEST(TrieDestroy, VeryLongWordDoesNotOverflowTheStack) {
  DictUnit unit;
  for (int i = 0; i < 200000; ++i) unit.runes.push_back(0x4E00 + (i % 50));
  Trie trie({unit.runes}, {&unit});
  EXPECT_TRUE(true);
}

}  // namespace
