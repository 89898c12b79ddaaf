#include "bm25/TokenTable.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
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

// Keys whose eight-byte blocks hold the multiplier constants of the hash,
// and ids (as the tally hashes them) that share their low 43 bits: keys a
// hash that lets key bytes meet a public constant maps to a few values
// whatever its seed.
std::vector<std::string> CraftedKeys() {
  auto bytes = [](uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); };
  std::vector<std::string> keys;
  for (uint64_t i = 0; i < 4000; ++i) {
    for (uint64_t c : {0x9e3779b97f4a7c15ull, 0xc2b2ae3d27d4eb4full, 0x165667b19e3779f9ull}) {
      keys.push_back(bytes(c) + bytes(i));
      keys.push_back(bytes(c) + bytes(i).substr(0, 4));
      keys.push_back(bytes(c) + bytes(c) + bytes(i));
    }
    keys.push_back(bytes(i << 43));
  }
  return keys;
}

// The claim of the header: under the process's seed and under others, the
// crafted keys spread over the slots of a table as random keys would, and
// each key's hash changes with the seed.
TEST(HashToken, CraftedKeysSpreadUnderEverySeed) {
  const auto keys = CraftedKeys();
  const std::vector<std::function<uint64_t(const std::string&)>> hashes = {
      [](const std::string& key) { return HashToken(key); },
      [](const std::string& key) { return HashToken(key, 1); },
      [](const std::string& key) { return HashToken(key, 0xc2b2ae3d27d4eb4full); }};
  for (const auto& hash : hashes) {
    std::unordered_set<uint64_t> values;
    std::unordered_set<uint64_t> slots;  // of a table of 2^16 slots
    for (const std::string& key : keys) {
      values.insert(hash(key));
      slots.insert(hash(key) & 0xffff);
    }
    EXPECT_EQ(values.size(), keys.size());
    // Random keys fill 1 - e^(-40000 / 65536), some 46 %, of the slots.
    EXPECT_GT(slots.size(), 28000u);
  }
  for (const std::string& key : keys) EXPECT_NE(HashToken(key, 1), HashToken(key, 2));
}

}  // namespace
}  // namespace mira::typing::text
