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
  EXPECT_EQ(IsLetterOrDigit(GetParam().rune), GetParam().expected) << std::hex << GetParam().rune;
}

INSTANTIATE_TEST_SUITE_P(
    Letters, IsLetterOrDigitTest,
    testing::Values(RuneCase{'a', true}, RuneCase{'z', true}, RuneCase{'A', true},
                    RuneCase{'Z', true}, RuneCase{0xE9, true} /* é */,
                    RuneCase{0x4E2D, true} /* 中 */, RuneCase{0x3042, true} /* あ */,
                    RuneCase{0xFF21, true} /* Ａ */, RuneCase{0x20000, true} /* CJK ext. B */,
                    RuneCase{0xAA, true} /* ª, Lo */));
INSTANTIATE_TEST_SUITE_P(
    Numbers, IsLetterOrDigitTest,
    testing::Values(RuneCase{'0', true}, RuneCase{'9', true}, RuneCase{0xFF10, true} /* ０ */,
                    RuneCase{0x0660, true} /* Arabic-Indic zero */, RuneCase{0x3007, true} /* 〇 */,
                    RuneCase{0x216B, true} /* Roman twelve, Nl */,
                    RuneCase{0x2460, true} /* circled one, No */, RuneCase{0xB2, true} /* ² */));
INSTANTIATE_TEST_SUITE_P(
    Others, IsLetterOrDigitTest,
    testing::Values(RuneCase{0, false}, RuneCase{' ', false}, RuneCase{'/', false},
                    RuneCase{':', false}, RuneCase{'@', false}, RuneCase{'[', false},
                    RuneCase{'_', false}, RuneCase{'`', false}, RuneCase{'{', false},
                    RuneCase{0x7F, false}, RuneCase{0xB7, false} /* · */,
                    RuneCase{0x3000, false} /* ideographic space */, RuneCase{0x3002, false},
                    RuneCase{0xFF0C, false}, RuneCase{0x1F600, false} /* emoji */,
                    RuneCase{0xD800, false} /* surrogate */, RuneCase{0x10FFFF, false},
                    RuneCase{0x1FFFFF, false} /* beyond Unicode */));

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
