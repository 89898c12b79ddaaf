#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tokenizer/jieba/limonp/FileUtil.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace {

using mira::typing::text::limonp::LineCursor;
using mira::typing::text::limonp::ParseDouble;
using mira::typing::text::limonp::ParseInt;

// The tests run in the "C" locale, where the C library's atof is the
// reference the parser must match bit for bit.
class ParseDoubleTest : public testing::TestWithParam<const char*> {};

TEST_P(ParseDoubleTest, MatchesAtofInTheCLocale) {
  const char* text = GetParam();
  const double expected = std::atof(text);
  const double got = ParseDouble(text);
  if (std::isnan(expected)) {
    EXPECT_TRUE(std::isnan(got)) << text;
  } else {
    EXPECT_EQ(std::memcmp(&expected, &got, sizeof(double)), 0)
        << text << ": " << got << " != " << expected;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDoubleTest,
    testing::Values("-0.510826", "12.5", "3", "  \t7.25", "+2.5", "-0", "1e3", "1E-3", "2.5e",
                    "1e+", ".5", "5.", ".", "", "abc", "0.5abc", "--1", "+-1", "-+1", "0x1p3",
                    "0X1.8p1", "0x", "0xg", "-0x10", "inf", "-INF", "infinity", "nan", "1e400",
                    "-1e400", "1e-400", "0.000000000000000000001e-400", "123456789012345678901234",
                    "0x1p99999", "0x1p-99999", "1e-310", "1,5", "7 8", "4.9406564584124654e-324",
                    // Exponents beyond the range of any integer type.
                    "1e-99999999999999999999", "-2.5e-99999999999999999999",
                    "1e99999999999999999999", "0x1p-99999999999999999999",
                    "0x1p99999999999999999999", "12e9223372036854775807",
                    "0.001e-9223372036854775808"));

struct IntCase {
  const char* text;
  int value;
};

class ParseIntTest : public testing::TestWithParam<IntCase> {};

TEST_P(ParseIntTest, ReadsLikeAtoiAndClampsOverflow) {
  EXPECT_EQ(ParseInt(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseIntTest,
                         testing::Values(IntCase{"42", 42}, IntCase{" -17x", -17},
                                         IntCase{"+8", 8}, IntCase{"3.9", 3}, IntCase{"", 0},
                                         IntCase{"x1", 0}, IntCase{"2147483647", INT_MAX},
                                         IntCase{"2147483648", INT_MAX},
                                         IntCase{"99999999999999999999", INT_MAX},
                                         IntCase{"-2147483648", INT_MIN},
                                         IntCase{"-99999999999", INT_MIN}));

TEST(LineCursor, SplitsLikeGetline) {
  struct Case {
    const char* text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {{"", {}},
                        {"\n", {""}},
                        {"a", {"a"}},
                        {"a\n", {"a"}},
                        {"a\n\nb", {"a", "", "b"}},
                        {"a\r\nb\n\n", {"a\r", "b", ""}}};
  for (const Case& c : cases) {
    LineCursor cursor(c.text);
    std::vector<std::string> lines;
    std::string_view line;
    while (cursor.Next(line)) lines.emplace_back(line);
    EXPECT_EQ(lines, c.lines) << c.text;
  }
}

}  // namespace
