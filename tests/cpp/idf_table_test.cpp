#include "tokenizer/jieba/IdfTable.hpp"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace {

using mira::typing::text::jieba::IdfTable;

TEST(IdfTable, EmptyTableFindsNothing) {
  const IdfTable table;
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.Find(""), nullptr);
  EXPECT_THROW(table.at("北京"), std::out_of_range);
}

TEST(IdfTable, LooksUpPresentAndAbsentWords) {
  // Words that are prefixes of one another must not match each other.
  const IdfTable table = {{"北京", 2.0}, {"北京大学", 4.0}, {"", 1.5}, {"a", -3.0}};
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(table.at("北京"), 2.0);
  EXPECT_EQ(table.at("北京大学"), 4.0);
  EXPECT_EQ(table.at(""), 1.5);
  EXPECT_EQ(table.at("a"), -3.0);
  EXPECT_EQ(table.Find("北"), nullptr);
  EXPECT_EQ(table.Find("北京大"), nullptr);
  EXPECT_EQ(table.Find(std::string("a\0", 2)), nullptr);
  EXPECT_THROW(table.at("大学"), std::out_of_range);
}

TEST(IdfTable, RepeatedWordKeepsTheLaterValue) {
  IdfTable table;
  table.Set("甲", 1.0);
  table.Set("乙", 2.0);
  table.Set("甲", 7.0);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.at("甲"), 7.0);
  EXPECT_EQ(table.at("乙"), 2.0);
}

// Random words with many repeats, set through every growth step of the index
// (no Reserve), checked against a map fed the same sequence.
TEST(IdfTable, MatchesAMapReference) {
  std::mt19937 rng(7);
  const std::string alphabet[] = {"a", "b", "中", "文", "词", "\xF0\x9F\x98\x80"};
  std::uniform_int_distribution<int> length(0, 5);
  std::uniform_int_distribution<int> letter(0, 5);
  std::uniform_real_distribution<double> value(-10.0, 10.0);
  IdfTable table;
  std::unordered_map<std::string, double> reference;
  for (int i = 0; i < 20000; ++i) {
    std::string word;
    for (int n = length(rng); n > 0; --n) word += alphabet[letter(rng)];
    const double v = value(rng);
    table.Set(word, v);
    reference[word] = v;
  }
  ASSERT_EQ(table.size(), reference.size());
  for (const auto& [word, v] : reference) {
    const double* found = table.Find(word);
    ASSERT_NE(found, nullptr) << word;
    EXPECT_EQ(*found, v) << word;
  }
  // Absent words: longer than any word set.
  for (const auto& [word, v] : reference) EXPECT_EQ(table.Find(word + "abcdef"), nullptr);
}

}  // namespace
