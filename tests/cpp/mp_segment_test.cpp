#include "tokenizer/jieba/MPSegment.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "segment_fixture.hpp"

namespace {

using mira::typing::text::jieba::DictTrie;
using mira::typing::text::jieba::MPSegment;
using mira::typing::text::jieba::RuneStrArray;
using Words = std::vector<std::string>;

Words Cut(const DictTrie& dict, const std::string& s, size_t max_len) {
  MPSegment seg(&dict);
  Words words;
  seg.Cut(s, words, max_len);
  return words;
}

struct MPCase {
  const char* input;
  size_t max_len;
  Words expected;
};

TEST(MPSegment, PicksTheMostProbablePath) {
  const std::vector<MPCase> cases = {
      {"", 512, {}},
      {"我是北京大学的学生", 512, {"我", "是", "北京大学", "的", "学生"}},
      // Equal totals: the shorter word at the first position wins.
      {"甲乙丙", 512, {"甲", "乙丙"}},
      {"北京大学", 3, {"北京", "大学"}},
      {"北京大学", 2, {"北京", "大学"}},
      {"北京大学", 1, {"北", "京", "大", "学"}},
      {"北京大学", 0, {"北", "京", "大", "学"}},
      // Runes of no word, and a rune that only starts longer words.
      {"韩冰人", 512, {"韩", "冰", "人"}},
      {"我，是 中国", 512, {"我", "，", "是", " ", "中国"}},
  };
  for (const MPCase& c : cases) {
    EXPECT_EQ(Cut(mira_test::MainDict(), c.input, c.max_len), c.expected)
        << c.input << " max_len " << c.max_len;
  }
}

TEST(MPSegment, DefaultLengthIs512) {
  MPSegment seg(&mira_test::MainDict());
  Words words;
  seg.Cut("北京大学的学生", words);
  EXPECT_EQ(words, Cut(mira_test::MainDict(), "北京大学的学生", 512));
  EXPECT_EQ(words.front(), "北京大学");
}

// Reference: every segmentation, scored as the sum of word weights (a lone
// rune that is no word costs the lowest weight); the best score wins and,
// among equal ones, the shorter first word, then the shorter second, ...
struct Best {
  double score;
  std::vector<size_t> lengths;
};

void Enumerate(const DictTrie& dict, const RuneStrArray& runes, size_t pos, size_t max_len,
               std::vector<size_t>& lengths, Best& best) {
  if (pos == runes.size()) {
    // Sum right to left, as the segmenter accumulates suffix scores.
    double score = 0.0;
    size_t end = runes.size();
    for (size_t i = lengths.size(); i-- > 0;) {
      const size_t start = end - lengths[i];
      const auto* unit = dict.Find(runes.begin() + start, runes.begin() + end);
      score = score + (unit != nullptr ? unit->weight : dict.LowestWeight());
      end = start;
    }
    if (best.lengths.empty() || score > best.score ||
        (score == best.score && lengths < best.lengths)) {
      best.score = score;
      best.lengths = lengths;
    }
    return;
  }
  for (size_t len = 1; pos + len <= runes.size(); ++len) {
    if (len > 1 && (len > max_len || dict.Find(runes.begin() + pos,
                                               runes.begin() + pos + len) == nullptr)) {
      continue;
    }
    lengths.push_back(len);
    Enumerate(dict, runes, pos + len, max_len, lengths, best);
    lengths.pop_back();
  }
}

TEST(MPSegment, MatchesExhaustiveSearch) {
  const std::vector<std::string> alphabet = {"我", "是", "的", "学", "生", "北", "京", "大", "甲",
                                             "乙", "丙", "中", "国", "人", "民", "计", "算", "韩"};
  std::mt19937 rng(7);
  for (const DictTrie* dict : {&mira_test::MainDict(), &mira_test::UserDict()}) {
    for (int round = 0; round < 400; ++round) {
      const std::string s = mira_test::RandomSentence(rng, alphabet, 1 + rng() % 9);
      const size_t max_len = std::vector<size_t>{1, 2, 3, 512}[rng() % 4];
      RuneStrArray runes;
      ASSERT_TRUE(DecodeRunesInString(s, runes));
      Best best{0.0, {}};
      std::vector<size_t> lengths;
      Enumerate(*dict, runes, 0, max_len, lengths, best);
      Words expected;
      size_t pos = 0;
      for (size_t l : best.lengths) {
        const size_t from = runes[pos].byte_offset;
        const size_t to = runes[pos + l - 1].byte_offset + runes[pos + l - 1].byte_length;
        expected.push_back(s.substr(from, to - from));
        pos += l;
      }
      EXPECT_EQ(Cut(*dict, s, max_len), expected) << s << " max_len " << max_len;
    }
  }
}

TEST(MPSegment, TagsWithTheDictionary) {
  MPSegment seg(&mira_test::MainDict());
  std::vector<std::pair<std::string, std::string>> tags;
  EXPECT_TRUE(seg.Tag("我是学生", tags));
  EXPECT_EQ(tags, (std::vector<std::pair<std::string, std::string>>{
                      {"我", "r"}, {"是", "v"}, {"学生", "n"}}));
}

}  // namespace
