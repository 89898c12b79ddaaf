#include "tokenizer/jieba/MixSegment.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "segment_fixture.hpp"

namespace {

using mira::typing::text::jieba::DictTrie;
using mira::typing::text::jieba::MixSegment;
using mira::typing::text::jieba::MPSegment;
using Words = std::vector<std::string>;

Words Cut(const DictTrie& dict, const std::string& s, bool use_hmm = true) {
  MixSegment seg(&dict, &mira_test::Model());
  Words words;
  seg.Cut(s, words, use_hmm);
  return words;
}

struct MixCase {
  const char* input;
  Words main_only;  // main dictionary alone
  Words with_user;  // main and user dictionaries
};

TEST(MixSegment, RecutsStretchesOfSingleRunes) {
  const std::vector<MixCase> cases = {
      {"", {}, {}},
      {"韩冰林森", {"韩冰", "林森"}, {"韩冰", "林", "森"}},
      {"北京韩冰", {"北京", "韩冰"}, {"北京", "韩冰"}},
      {"韩冰abc林森", {"韩冰", "abc", "林森"}, {"韩冰", "abc", "林", "森"}},
      {"123abc", {"123", "abc"}, {"123", "abc"}},
      // 'de' is a user word, but too rare to beat two lone runes.
      {"abcdef", {"abcdef"}, {"abcdef"}},
      {"韩冰，林森", {"韩冰", "，", "林森"}, {"韩冰", "，", "林", "森"}},
      {"云计算", {"云", "计算"}, {"云计算"}},
      {"蓝莓", {"蓝", "莓"}, {"蓝莓"}},
  };
  for (const MixCase& c : cases) {
    EXPECT_EQ(Cut(mira_test::MainDict(), c.input), c.main_only) << c.input;
    EXPECT_EQ(Cut(mira_test::UserDict(), c.input), c.with_user) << c.input;
  }
}

TEST(MixSegment, WithoutHmmEqualsMaxProbability) {
  const std::vector<std::string> alphabet = {"我", "是", "北", "京", "大", "学", "韩", "冰",
                                             "林", "森", "a", "1", " ", "，", "甲", "乙"};
  MPSegment mp(&mira_test::UserDict());
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    const std::string s = mira_test::RandomSentence(rng, alphabet, rng() % 20);
    Words expected;
    mp.Cut(s, expected);
    EXPECT_EQ(Cut(mira_test::UserDict(), s, false), expected) << s;
    // With the HMM the words still cover the sentence exactly.
    std::string joined;
    for (const std::string& w : Cut(mira_test::UserDict(), s)) joined += w;
    EXPECT_EQ(joined, s);
  }
}

TEST(MixSegment, TagsUseDictionaryAndFallbacks) {
  MixSegment seg(&mira_test::UserDict(), &mira_test::Model());
  std::vector<std::pair<std::string, std::string>> tags;
  EXPECT_TRUE(seg.Tag("北京韩冰2024", tags));
  EXPECT_EQ(tags, (std::vector<std::pair<std::string, std::string>>{
                      {"北京", "ns"}, {"韩冰", "x"}, {"2024", "m"}}));
  EXPECT_EQ(seg.GetDictTrie(), &mira_test::UserDict());
}

}  // namespace
