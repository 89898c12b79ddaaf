#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bm25/TokenId.hpp"

namespace mira::typing::text {
namespace {

struct HashCase {
  const char* name;
  std::string data;
  uint32_t seed;
  uint32_t expected;
};

// Published MurmurHash3 x86_32 vectors; together they cover every tail length,
// several whole blocks, a zero byte inside the input and non-ASCII bytes.
class Murmur3Test : public testing::TestWithParam<HashCase> {};

TEST_P(Murmur3Test, MatchesReferenceValue) {
  const HashCase& c = GetParam();
  EXPECT_EQ(Murmur3_32(c.data, c.seed), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Murmur3Test,
    testing::Values(
        HashCase{"empty", "", 0, 0u}, HashCase{"empty_seed1", "", 1, 0x514E28B7u},
        HashCase{"empty_seed_max", "", 0xFFFFFFFFu, 0x81F16F39u},
        HashCase{"zero_bytes", std::string(4, '\0'), 0, 0x2362F9DEu},
        HashCase{"tail1", "a", 0x9747B28Cu, 0x7FA09EA6u},
        HashCase{"tail2", "aa", 0x9747B28Cu, 0x5D211726u},
        HashCase{"tail3", "aaa", 0x9747B28Cu, 0x283E0130u},
        HashCase{"block", "abcd", 0x9747B28Cu, 0xF0478627u},
        HashCase{"hello", "Hello, world!", 0x9747B28Cu, 0x24884CBAu},
        HashCase{"fox", "The quick brown fox jumps over the lazy dog", 0x9747B28Cu, 0x2FA826CDu},
        HashCase{"utf8", "\xCF\x80\xCF\x80\xCF\x80\xCF\x80\xCF\x80\xCF\x80\xCF\x80\xCF\x80",
                 0x9747B28Cu, 0xD58063C1u}),
    [](const testing::TestParamInfo<HashCase>& info) { return std::string(info.param.name); });

TEST(TokenIdTest, IsSeedZeroHashBelowTheReservedValue) {
  EXPECT_EQ(TokenId("hello"), Murmur3_32("hello", 0));
  EXPECT_EQ(TokenId(""), 0u);
  EXPECT_LE(TokenId("The quick brown fox jumps over the lazy dog"), kMaxTokenId);
}

TEST(SumByIdTest, SortsAndAddsEqualIdsWithoutDroppingAny) {
  const std::vector<IdWeight> got = SumById({{7, 0.5}, {3, 1.0}, {7, 0.25}, {0, 2.0}, {3, -1.0}});
  const std::vector<IdWeight> want = {{0, 2.0}, {3, 0.0}, {7, 0.75}};
  EXPECT_EQ(got, want);
  EXPECT_TRUE(SumById({}).empty());
}

TEST(IdRowsTest, RowsAreSummedByIdAndRoundedOnce) {
  IdRows rows;
  rows.Append({{7, 0.1}, {3, 1.0}, {7, 0.2}});
  rows.Append({});
  rows.Append({{kMaxTokenId, 1e-8}, {0, 2.5}});
  EXPECT_EQ(rows.rows(), 3u);
  EXPECT_EQ(rows.indptr, (std::vector<int64_t>{0, 2, 2, 4}));
  EXPECT_EQ(rows.indices, (std::vector<uint32_t>{3, 7, 0, kMaxTokenId}));
  // 0.1 + 0.2 summed in double, then rounded: not the float sum of two floats.
  EXPECT_EQ(rows.data, (std::vector<float>{1.0f, static_cast<float>(0.1 + 0.2), 2.5f,
                                           static_cast<float>(1e-8)}));
}

}  // namespace
}  // namespace mira::typing::text
