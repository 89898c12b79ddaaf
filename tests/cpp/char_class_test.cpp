#include "tokenizer/jieba/CharClass.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using mira::typing::text::jieba::HoldsLetterOrDigit;
using mira::typing::text::jieba::IsLetterOrDigit;
using mira::typing::text::jieba::Rune;

struct RuneCase {
  Rune rune;
  bool expected;
};

class IsLetterOrDigitTest : public testing::TestWithParam<RuneCase> {};

TEST_P(IsLetterOrDigitTest, FollowsUnicodeCategories) {
  const RuneCase c = GetParam();
  EXPECT_EQ(IsLetterOrDigit(c.rune), c.expected) << std::hex << c.rune;
}

// Letters (L*, CJK included), numbers (Nd, Nl, No), and neighbours that are neither.
INSTANTIATE_TEST_SUITE_P(
    Table, IsLetterOrDigitTest,
    testing::Values(RuneCase{'a', true}, RuneCase{'Z', true}, RuneCase{0xE9, true},
                    RuneCase{0x4E2D, true}, RuneCase{0xFF21, true}, RuneCase{0x20000, true},
                    RuneCase{'0', true}, RuneCase{'9', true}, RuneCase{0xFF10, true},
                    RuneCase{0x3007, true}, RuneCase{0x216B, true}, RuneCase{0x2460, true},
                    RuneCase{0xB2, true}, RuneCase{' ', false}, RuneCase{'/', false},
                    RuneCase{':', false}, RuneCase{'@', false}, RuneCase{'[', false},
                    RuneCase{'`', false}, RuneCase{'{', false}, RuneCase{0xB7, false},
                    RuneCase{0x3002, false}, RuneCase{0xFF0C, false}, RuneCase{0x1F600, false},
                    RuneCase{0xD800, false}, RuneCase{0x1FFFFF, false}));

TEST(HoldsLetterOrDigit, NeedsOneLetterOrNumber) {
  EXPECT_FALSE(HoldsLetterOrDigit(""));
  EXPECT_FALSE(HoldsLetterOrDigit("，。！ \t"));
  EXPECT_FALSE(HoldsLetterOrDigit("\xF0\x9F\x98\x80"));  // 😀
  EXPECT_TRUE(HoldsLetterOrDigit("，a"));
  EXPECT_TRUE(HoldsLetterOrDigit("--①"));
  EXPECT_TRUE(HoldsLetterOrDigit("中文"));
  // Text that does not decode holds nothing, whatever its valid prefix.
  EXPECT_FALSE(HoldsLetterOrDigit("ab\xFF"));
  EXPECT_FALSE(HoldsLetterOrDigit("ab\xE4\xB8"));
}

}  // namespace
