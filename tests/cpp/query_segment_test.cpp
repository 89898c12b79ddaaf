#include "tokenizer/jieba/QuerySegment.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "segment_fixture.hpp"
#include "tokenizer/jieba/FullSegment.hpp"

namespace {

using mira::typing::text::jieba::FullSegment;
using mira::typing::text::jieba::QuerySegment;
using Words = std::vector<std::string>;

struct SegCase {
  const char* input;
  Words expected;
};

TEST(QuerySegment, PutsSubWordsBeforeLongWords) {
  QuerySegment seg(&mira_test::UserDict(), &mira_test::Model());
  const std::vector<SegCase> cases = {
      {"", {}},
      {"学生", {"学生"}},
      // Two-rune sub-words left to right, then three-rune ones, then the word.
      {"北京大学", {"北京", "京大", "大学", "北京大", "北京大学"}},
      // A three-rune word gets its two-rune sub-words only.
      {"北京大", {"北京", "京大", "北京大"}},
      {"云计算", {"计算", "云计算"}},
      // A word found by the HMM rules still gets its dictionary sub-words.
      {"abcdef", {"de", "abcdef"}},
      {"北京大学，学生", {"北京", "京大", "大学", "北京大", "北京大学", "，", "学生"}},
      {"韩冰林森", {"韩冰", "林", "森"}},
  };
  for (const SegCase& c : cases) {
    Words words;
    seg.Cut(c.input, words);
    EXPECT_EQ(words, c.expected) << c.input;
  }
}

TEST(QuerySegment, WithoutHmmKeepsLoneRunes) {
  QuerySegment seg(&mira_test::UserDict(), &mira_test::Model());
  Words words;
  seg.Cut("韩冰北京大学", words, false);
  EXPECT_EQ(words, (Words{"韩", "冰", "北京", "京大", "大学", "北京大", "北京大学"}));
}

TEST(FullSegment, ListsOverlappingWords) {
  FullSegment seg(&mira_test::MainDict());
  const std::vector<SegCase> cases = {
      {"", {}},
      {"我是", {"我", "是"}},
      {"北京大学", {"北京", "北京大", "北京大学", "京大", "大学"}},
      // A one-rune word is listed only where it is the sole candidate.
      {"甲乙丙", {"甲乙", "乙丙"}},
      // A rune after a covered stretch is listed even though the rune before
      // it only starts longer words.
      {"北京人", {"北京", "人"}},
      {"北京人韩", {"北京", "人", "韩"}},
      {"韩，冰", {"韩", "，", "冰"}},
  };
  for (const SegCase& c : cases) {
    Words words;
    seg.Cut(c.input, words);
    EXPECT_EQ(words, c.expected) << c.input;
  }
}

}  // namespace
