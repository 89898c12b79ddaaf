#include "bm25/TokenTable.hpp"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace mira::typing::text {
using namespace std::string_literals;
namespace {

using Model = std::unordered_map<std::string, int64_t>;

void ExpectSame(const TokenTable& table, const Model& model) {
  ASSERT_EQ(table.size(), model.size());
  for (const auto& [key, count] : model) {
    ASSERT_EQ(table.count(key), 1u) << key;
    EXPECT_EQ(table.at(key), count) << key;
  }
}

// Keys that differ only in length, trailing NULs or bytes beyond the first
// eight, so that hashing and comparison have to look at every byte.
std::string Key(std::mt19937& random) {
  static const std::vector<std::string> stems = {"", "a", "a\0"s, "\xe4\xb8\xad", "12345678",
                                                  "123456789", "1234567890123456",
                                                  "12345678901234567", std::string(40, 'z')};
  std::string key = stems[random() % stems.size()];
  if (random() % 2) key += static_cast<char>(random() % 4);
  return key;
}

TEST(TokenTable, MatchesAHashMapThroughInsertionsAndTruncation) {
  std::mt19937 random(5);
  TokenTable table;
  Model model;
  // (table size, model) before each batch, to truncate back to.
  std::vector<std::pair<std::size_t, Model>> marks;
  for (int round = 0; round < 2000; ++round) {
    if (round % 50 == 0) marks.emplace_back(table.size(), model);
    if (round % 97 == 96 && !marks.empty()) {
      const auto& [size, saved] = marks[random() % marks.size()];
      // Counts of surviving keys are not restored by truncate; reset them.
      table.truncate(size);
      for (const auto& [key, count] : table) {
        (void)count;
        table[key] = saved.at(key);
      }
      model = saved;
      marks.clear();
      ExpectSame(table, model);
      continue;
    }
    const std::string key = Key(random);
    ++table[key];
    ++model[key];
  }
  ExpectSame(table, model);
}

TEST(TokenTable, KeepsInsertionOrderAndGrowsPastManyKeys) {
  TokenTable table;
  for (int i = 0; i < 10000; ++i) table[std::to_string(i * 7919 % 10007)] = i;
  ASSERT_EQ(table.size(), 10000u);
  int i = 0;
  for (const auto& [key, count] : table) {
    EXPECT_EQ(key, std::to_string(i * 7919 % 10007));
    EXPECT_EQ(count, i);
    ++i;
  }
  table.truncate(3);
  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(table.count(std::to_string(3 * 7919 % 10007)), 0u);
  EXPECT_EQ(table.at("0"), 0);
}

TEST(TokenTable, EqualityIgnoresOrderButNotCounts) {
  const TokenTable a{{"x", 1}, {"y", 2}};
  EXPECT_EQ(a, (TokenTable{{"y", 2}, {"x", 1}}));
  EXPECT_NE(a, (TokenTable{{"y", 2}, {"x", 3}}));
  EXPECT_NE(a, (TokenTable{{"y", 2}}));
  EXPECT_THROW(a.at("z"), std::out_of_range);
}

TEST(SameToken, ComparesEveryByte) {
  for (const std::string x : {"", "a", "ab", "abcdefg", "abcdefgh", "abcdefghi",
                               "abcdefghijklmnop", "abcdefghijklmnopq"}) {
    EXPECT_TRUE(SameToken(x, std::string(x)));
    for (std::size_t i = 0; i < x.size(); ++i) {
      std::string y = x;
      y[i] ^= 1;
      EXPECT_FALSE(SameToken(x, y)) << x << " at " << i;
    }
    EXPECT_FALSE(SameToken(x, x + '\0'));
  }
}

}  // namespace
}  // namespace mira::typing::text
