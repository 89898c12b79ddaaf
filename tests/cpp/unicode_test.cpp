#include "tokenizer/jieba/Unicode.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using mira::typing::text::jieba::DecodeRunesInString;
using mira::typing::text::jieba::GetWordsFromWordRanges;
using mira::typing::text::jieba::Rune;
using mira::typing::text::jieba::RuneArray;
using mira::typing::text::jieba::RuneStr;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::Word;
using mira::typing::text::jieba::WordRange;
using mira::typing::text::limonp::LocalVector;

// Straightforward model of the decoder: lead byte picks the length, the
// sequence must fit, continuation bytes are taken as they are.
bool ReferenceDecode(const std::string& s, std::vector<RuneStr>& out) {
  out.clear();
  size_t p = 0;
  uint32_t n = 0;
  while (p < s.size()) {
    const unsigned a = static_cast<unsigned char>(s[p]);
    size_t len = a < 0x80 ? 1 : a <= 0xDF ? 2 : a <= 0xEF ? 3 : a <= 0xF7 ? 4 : 0;
    if (len == 0 || p + len > s.size()) {
      out.clear();
      return false;
    }
    static const unsigned kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    Rune r = a & kLeadMask[len];
    for (size_t k = 1; k < len; ++k) r = (r << 6) | (static_cast<unsigned char>(s[p + k]) & 0x3F);
    out.emplace_back(r, static_cast<uint32_t>(p), static_cast<uint32_t>(len), n, 1);
    p += len;
    ++n;
  }
  return true;
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  bool ok;
  std::vector<Rune> runes;
  std::vector<uint32_t> byte_lengths;
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, RunesLengthsAndOffsets) {
  const DecodeCase& c = GetParam();
  RuneStrArray out;
  out.push_back(RuneStr(7, 7, 7, 7, 7));  // must be cleared
  ASSERT_EQ(DecodeRunesInString(c.bytes, out), c.ok);
  ASSERT_EQ(out.size(), c.runes.size());
  uint32_t byte_offset = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].rune, c.runes[i]) << i;
    EXPECT_EQ(out[i].byte_length, c.byte_lengths[i]) << i;
    EXPECT_EQ(out[i].byte_offset, byte_offset) << i;
    EXPECT_EQ(out[i].rune_offset, i) << i;
    EXPECT_EQ(out[i].rune_length, 1u) << i;
    byte_offset += out[i].byte_length;
  }

  RuneArray runes;
  runes.push_back(99);
  ASSERT_EQ(DecodeRunesInString(c.bytes, runes), c.ok);
  EXPECT_EQ(std::vector<Rune>(runes.begin(), runes.end()), c.runes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeTest,
    testing::Values(
        DecodeCase{"empty", "", true, {}, {}},
        DecodeCase{"ascii_then_cjk", "a\xE4\xB8\xAD", true, {0x61, 0x4E2D}, {1, 3}},
        DecodeCase{"two_byte", "\xC3\xA9", true, {0xE9}, {2}},
        DecodeCase{"four_byte_emoji", "\xF0\x9F\x98\x80", true, {0x1F600}, {4}},
        DecodeCase{"lone_continuation_as_lead", "\x80\x41", true, {0x01}, {2}},
        DecodeCase{"overlong_accepted", "\xC0\x80", true, {0x00}, {2}},
        DecodeCase{"surrogate_accepted", "\xED\xA0\x80", true, {0xD800}, {3}},
        DecodeCase{"truncated_three_byte", "ab\xE4\xB8", false, {}, {}},
        DecodeCase{"truncated_two_byte", "a\xC3", false, {}, {}},
        DecodeCase{"truncated_four_byte", "\xF0\x9F\x98", false, {}, {}},
        DecodeCase{"lead_F8", "a\xF8\x80\x80\x80\x80", false, {}, {}},
        DecodeCase{"lead_FF", "\xFF", false, {}, {}}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(Decode, MatchesReferenceOnRandomBytes) {
  std::mt19937 rng(12345);
  // Bias toward lead and continuation bytes so multi-byte paths are common.
  std::uniform_int_distribution<int> len_dist(0, 80);
  std::uniform_int_distribution<int> byte_dist(0, 255);
  std::vector<RuneStr> expected;
  for (int iter = 0; iter < 20000; ++iter) {
    std::string s(static_cast<size_t>(len_dist(rng)), '\0');
    for (char& ch : s) {
      const int b = byte_dist(rng);
      ch = static_cast<char>(b < 96 ? b : b < 160 ? 0xE4 + (b & 3) : 0x80 + (b & 0x7F));
    }
    RuneStrArray got;
    const bool ok = DecodeRunesInString(s, got);
    ASSERT_EQ(ok, ReferenceDecode(s, expected)) << iter;
    ASSERT_EQ(got.size(), expected.size()) << iter;
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i].rune, expected[i].rune);
      ASSERT_EQ(got[i].byte_offset, expected[i].byte_offset);
      ASSERT_EQ(got[i].byte_length, expected[i].byte_length);
      ASSERT_EQ(got[i].rune_offset, expected[i].rune_offset);
    }
  }
}

TEST(Decode, NullPointerWithLengthFails) {
  RuneStrArray out;
  EXPECT_FALSE(DecodeRunesInString(nullptr, 3, out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(DecodeRunesInString(nullptr, 0, out));
}

TEST(Decode, SeventeenRunesMoveToHeapKeepingEarlierOnes) {
  RuneStrArray out;
  ASSERT_TRUE(DecodeRunesInString(std::string(16, 'x'), out));
  EXPECT_TRUE(out.IsInline());
  ASSERT_TRUE(DecodeRunesInString("abcdefghijklmnopq", out));
  EXPECT_FALSE(out.IsInline());
  EXPECT_EQ(out.Capacity(), 32u);
  ASSERT_EQ(out.size(), 17u);
  for (size_t i = 0; i < 17; ++i) EXPECT_EQ(out[i].rune, static_cast<Rune>('a' + i));
  // Long input reserves len/2 once up front.
  ASSERT_TRUE(DecodeRunesInString(std::string(40, 'y'), out));
  EXPECT_EQ(out.Capacity(), 40u);
}

TEST(LocalVector, CopiesAreIndependentInlineAndOnHeap) {
  for (size_t n : {3u, 16u, 17u, 100u}) {
    LocalVector<int> a;
    for (size_t i = 0; i < n; ++i) a.push_back(static_cast<int>(i));
    LocalVector<int> b(a);
    LocalVector<int> c;
    c = a;
    EXPECT_EQ(b.IsInline(), n <= 16) << n;
    EXPECT_EQ(b.Capacity(), a.Capacity()) << n;
    a[0] = -1;
    EXPECT_EQ(b[0], 0) << n;
    EXPECT_EQ(c[0], 0) << n;
    EXPECT_EQ(b.size(), n);
    EXPECT_EQ(c[n - 1], static_cast<int>(n - 1));
    LocalVector<int> moved(std::move(b));
    EXPECT_EQ(moved.size(), n);
    EXPECT_EQ(moved[n - 1], static_cast<int>(n - 1));
    moved.clear();
    EXPECT_TRUE(moved.IsInline());
    EXPECT_EQ(moved.Capacity(), 16u);
  }
}

TEST(LocalVector, PushBackOfOwnElementAcrossGrowth) {
  LocalVector<int> v;
  for (int i = 0; i < 16; ++i) v.push_back(i + 1);
  v.push_back(v[3]);  // storage is replaced during this call
  EXPECT_EQ(v[16], 4);
}

TEST(GetWords, RangesBecomeByteSubstringsWithOffsets) {
  const std::string s = "a\xE4\xB8\xAD\xE5\x9B\xBD" "b";  // a 中 国 b
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(s, runes));
  std::vector<WordRange> ranges{{&runes[0], &runes[0]}, {&runes[1], &runes[2]},
                                {&runes[3], &runes[3]}};
  std::vector<Word> words{Word{"keep", 0, 0, 0}};
  GetWordsFromWordRanges(s, ranges, words);
  ASSERT_EQ(words.size(), 4u);
  EXPECT_EQ(words[0].text, "keep");
  EXPECT_EQ(words[1].text, "a");
  EXPECT_EQ(words[2].text, "\xE4\xB8\xAD\xE5\x9B\xBD");
  EXPECT_EQ(words[2].byte_offset, 1u);
  EXPECT_EQ(words[2].rune_offset, 1u);
  EXPECT_EQ(words[2].rune_length, 2u);
  EXPECT_EQ(words[3].text, "b");
  EXPECT_EQ(words[3].byte_offset, 7u);
  EXPECT_EQ(words[3].rune_length, 1u);
}

}  // namespace
