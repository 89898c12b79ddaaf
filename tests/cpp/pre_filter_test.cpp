#include "tokenizer/jieba/PreFilter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"

namespace {

using mira::typing::text::jieba::PreFilter;
using mira::typing::text::jieba::SegmentBase;
using mira::typing::text::jieba::SPECIAL_SEPARATORS;
using Pieces = std::vector<std::string>;

// Exposes the separator set of the base class and the raw pieces.
class PieceSegment : public SegmentBase {
 public:
  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    words.clear();
    PreFilter filter(separators_, sentence);
    while (filter.HasMore()) {
      PreFilter::Piece p = filter.NextPiece();
      EXPECT_LT(p.begin, p.end);
      const size_t from = p.begin->byte_offset;
      const size_t to = (p.end - 1)->byte_offset + (p.end - 1)->byte_length;
      words.push_back(sentence.substr(from, to - from));
    }
  }
  Pieces Pieces_(const std::string& s) const {
    Pieces out;
    Cut(s, out);
    return out;
  }
};

struct PieceCase {
  const char* input;
  Pieces expected;
};

TEST(PreFilter, SplitsAtDefaultSeparators) {
  const std::vector<PieceCase> cases = {
      {"", {}},
      {"，", {"，"}},
      {"ab，cd", {"ab", "，", "cd"}},
      {"a b", {"a", " ", "b"}},
      {" a", {" ", "a"}},
      {"a。", {"a", "。"}},
      {"a\t\nb", {"a", "\t", "\n", "b"}},
      {"中文,没有分隔", {"中文,没有分隔"}},  // the ASCII comma is no separator
      {"\xE4\xB8", {}},                     // undecodable: no pieces at all
  };
  PieceSegment seg;
  for (const PieceCase& c : cases) {
    std::string err = mira_test::StderrOf([&] { EXPECT_EQ(seg.Pieces_(c.input), c.expected); });
    const bool bad = std::string(c.input) == "\xE4\xB8";
    EXPECT_EQ(err.find("csrc/tokenizer/jieba/PreFilter.hpp:24 ERROR decode failed. \n") !=
                  std::string::npos,
              bad)
        << err;
  }
}

TEST(PreFilter, SeparatorTextIsTheFiveDefaultRunes) {
  EXPECT_EQ(std::string(SPECIAL_SEPARATORS), std::string(" \t\n\xEF\xBC\x8C\xE3\x80\x82"));
}

TEST(SegmentBase, ResetSeparatorsReplacesTheSet) {
  PieceSegment seg;
  EXPECT_TRUE(seg.ResetSeparators("|"));
  EXPECT_EQ(seg.Pieces_("a b|c"), (Pieces{"a b", "|", "c"}));
  EXPECT_TRUE(seg.ResetSeparators(""));
  EXPECT_EQ(seg.Pieces_("a b，c"), (Pieces{"a b，c"}));
}

TEST(SegmentBase, ResetSeparatorsRejectsRepeatsAndBadText) {
  PieceSegment seg;
  bool ok = true;
  std::string err = mira_test::StderrOf([&] { ok = seg.ResetSeparators("，a，b"); });
  EXPECT_FALSE(ok);
  EXPECT_NE(err.find("csrc/tokenizer/jieba/SegmentBase.hpp:37 ERROR ， already exists\n"),
            std::string::npos)
      << err;
  // The runes before the repeat stay; the one after it is not added.
  EXPECT_EQ(seg.Pieces_("xa，yb"), (Pieces{"x", "a", "，", "yb"}));

  err = mira_test::StderrOf([&] { ok = seg.ResetSeparators("x\xFF"); });
  EXPECT_FALSE(ok);
  EXPECT_NE(err.find("csrc/tokenizer/jieba/SegmentBase.hpp:32 ERROR decode x\xFF failed\n"),
            std::string::npos)
      << err;
}

}  // namespace
