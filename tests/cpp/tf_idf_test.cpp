#include "tokenizer/jieba/TfIdf.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "segment_fixture.hpp"
#include "tokenizer/jieba/KeywordExtractor.hpp"

namespace {

using mira::typing::text::jieba::Keyword;
using mira::typing::text::jieba::KeywordExtractor;
using mira::typing::text::jieba::RankKeywords;
using Idf = std::unordered_map<std::string, double>;
using Stop = std::unordered_set<std::string>;
using Words = std::vector<std::string>;

struct Expected {
  std::string word;
  double weight;
};

void ExpectKeywords(const std::vector<Keyword>& got, const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].word, want[i].word) << "rank " << i;
    EXPECT_DOUBLE_EQ(got[i].weight, want[i].weight) << got[i].word;
  }
}

// Counted: 北京 x3 (IDF 2), 大学 x2 (IDF 4), 新词 and R2 once each (no
// entry: default 3), 7 words in all. Left out: the stop word 因为, the single
// characters 学 and a, and ，， (no letter or digit).
const Words kWords = {"北京", "因为", "大学", "学",   "北京", "，，",
                      "新词", "a",    "R2",   "北京", "大学"};
const Idf kIdf = {{"北京", 2.0}, {"大学", 4.0}, {"因为", 9.0}, {"学", 9.0}};
const std::vector<Expected> kRanked = {
    {"大学", 2.0 / 7 * 4}, {"北京", 3.0 / 7 * 2}, {"新词", 1.0 / 7 * 3}, {"R2", 1.0 / 7 * 3}};

class RankTopK : public testing::TestWithParam<size_t> {};

TEST_P(RankTopK, HeaviestFirstTiesInOrderOfAppearance) {
  const size_t top_k = GetParam();
  const size_t n = top_k == 0 ? kRanked.size() : std::min(top_k, kRanked.size());
  ExpectKeywords(RankKeywords(kWords, kIdf, 3.0, {"因为"}, top_k),
                 std::vector<Expected>(kRanked.begin(), kRanked.begin() + n));
}

INSTANTIATE_TEST_SUITE_P(TopK, RankTopK, testing::Values(0, 1, 2, 3, 4, 100),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return info.param == 0 ? std::string("all")
                                                  : "top" + std::to_string(info.param);
                         });

TEST(RankKeywords, NothingCountedGivesNothing) {
  EXPECT_TRUE(RankKeywords({}, kIdf, 3.0, {}, 0).empty());
  EXPECT_TRUE(RankKeywords({"因为", "学", "，，", " "}, kIdf, 3.0, {"因为"}, 0).empty());
}

TEST(RankKeywords, StopWordsMatchWithATrailingCarriageReturn) {
  ExpectKeywords(RankKeywords({"因为", "北京"}, kIdf, 3.0, {"因为\r", "x"}, 0),
                 {{"北京", 2.0}});
}

TEST(RankKeywords, ATieKeepsFirstAppearanceEvenWhenCountedLater) {
  // 乙乙 appears first but weighs less until its second occurrence ties it.
  ExpectKeywords(RankKeywords({"乙乙", "甲甲", "甲甲", "乙乙"}, {}, 1.0, {}, 0),
                 {{"乙乙", 0.5}, {"甲甲", 0.5}});
}

TEST(RankKeywords, NanWeightsRankLast) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Idf idf = {{"甲甲", nan}, {"丙丙", -1.0}};
  const Words words = {"甲甲", "乙乙", "丙丙", "丁丁"};
  const std::vector<Keyword> got = RankKeywords(words, idf, 1.0, {}, 0);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].word, "乙乙");
  EXPECT_EQ(got[1].word, "丁丁");
  EXPECT_EQ(got[2].word, "丙丙");
  EXPECT_EQ(got[3].word, "甲甲");
  EXPECT_TRUE(std::isnan(got[3].weight));
}

// The extractor cuts with the HMM on and takes unknown words at the mean of
// the IDF file, whose empty line counts in the denominator.
TEST(KeywordExtractor, ExtractCutsAndUsesTheFileMean) {
  const std::string idf = mira_test::WriteTemp("kw_idf", "北京 2.0\n大学 4.0\n学生 1.0\n\n");
  std::string err = mira_test::StderrOf([&] {
    KeywordExtractor k(&mira_test::UserDict(), &mira_test::Model(), idf,
                       mira_test::DataPath("stop_words.utf8"));
    // 我 是 北京 的 学生 ， 韩冰 学生 云计算 是: 北京 and 学生 tie at 0.4.
    ExpectKeywords(k.Extract("我是北京的学生，韩冰学生云计算是", 0),
                   {{"北京", 1.0 / 5 * 2.0}, {"学生", 2.0 / 5 * 1.0},
                    {"韩冰", 1.0 / 5 * 7.0 / 4}, {"云计算", 1.0 / 5 * 7.0 / 4}});
    EXPECT_TRUE(k.Extract("", 0).empty());
  });
  EXPECT_NE(err.find("lineno: 3 empty. skipped."), std::string::npos) << err;
}

TEST(KeywordExtractor, EmptyIdfFileWeighsUnknownWordsZero) {
  KeywordExtractor k(&mira_test::UserDict(), &mira_test::Model(),
                     mira_test::WriteTemp("kw_idf_empty", ""),
                     mira_test::DataPath("stop_words.utf8"));
  ExpectKeywords(k.Extract("学生北京", 0), {{"学生", 0.0}, {"北京", 0.0}});
}

}  // namespace
