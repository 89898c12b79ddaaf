// Folding before cutting: letters (case, width) and scripts, each keeping
// every code point in its place.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/CharFold.hpp"
#include "common/Utf8.hpp"
#include "encoder/ScriptTable.hpp"
#include "test_support.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace {

using mira::typing::text::FoldChar;
using mira::typing::text::FoldText;
using mira::typing::text::ScriptTable;

// What folding gives, or the text itself when nothing folds.
template <class Fold>
std::string Folded(Fold&& fold, const std::string& text) {
  std::string out = "untouched";
  if (fold(text, out)) return out;
  EXPECT_EQ(out, "untouched");
  return text;
}

TEST(CharFold, CaseAndWidth) {
  struct Case {
    const char* text;
    const char* folded;
  };
  const Case cases[] = {
      {"iPhone", "iphone"},
      {"ＩＰＨＯＮＥ１５", "iphone15"},
      {"ÀÉÎ Ωμέγα", "àéî ωμέγα"},
      {"İ", "İ"},                       // its lower case is two code points
      {"，！＠", "，！＠"},             // full-width punctuation stays
      {"中文ＡＢＣ中文", "中文abc中文"},
      {"\xE4\xB8", "\xE4\xB8"},         // a cut sequence is copied
      {"A\xFF" "B", "a\xFF" "b"},
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Folded([](const std::string& t, std::string& o) { return FoldText(t, o); }, c.text),
              c.folded)
        << c.text;
  }
  EXPECT_EQ(FoldChar(0xFF21), uint32_t{'a'});
  EXPECT_EQ(FoldChar(0x4E2D), 0x4E2Du);
}

// Up to the first code point that folds the bytes as they are, from there
// every code point re-encoded after folding and bytes that do not decode
// kept: random mixes of letters, full-width forms, overlong and cut sequences.
TEST(CharFold, EqualsFoldingEachCodePoint) {
  const char* const pieces[] = {"A", "z", "7", "\xEF\xBC\xA1", "\xEF\xBC\x8C", "\xC3\x80",
                                "\xE4\xB8\xAD", "\xC1\x81", "\xE0\x80\xB7", "\xF0\x9F\x98\x80",
                                "\xFF", "\xE4\xB8", " "};
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (size_t k = rng() % 12; k-- > 0;) text += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    std::string expected;
    bool changed = false;
    for (size_t i = 0, n = 0; i < text.size(); i += n == 0 ? 1 : n) {
      // Before the first fold, a lead byte of U+3000 to U+9FFF takes three bytes unread.
      const auto lead = static_cast<unsigned char>(text[i]);
      if (!changed && lead >= 0xE3 && lead <= 0xE9 && text.size() - i >= 3) {
        expected.append(text, i, n = 3);
        continue;
      }
      const uint32_t cp = mira::typing::text::DecodeUtf8(text, i, n);
      const bool folds = n != 0 && FoldChar(cp) != cp;
      if (n == 0 || (!changed && !folds)) {
        expected.append(text, i, n == 0 ? 1 : n);
        continue;
      }
      changed = true;
      mira::typing::text::AppendUtf8(FoldChar(cp), expected);
    }
    std::string out;
    ASSERT_EQ(FoldText(text, out), changed) << text;
    if (changed) {
      EXPECT_EQ(out, expected) << text;
    }
  }
}

TEST(ScriptTable, LongestEntryAtEachPlace) {
  const ScriptTable table(mira_test::TestDataPath("script", "t2s.txt"));
  EXPECT_EQ(table.size(), 10u);
  auto fold = [&](const std::string& t, std::string& o) { return table.Fold(t, o); };
  EXPECT_EQ(Folded(fold, "臺灣的電腦"), "台湾的电脑");
  EXPECT_EQ(Folded(fold, "乾隆乾燥"), "乾隆干燥");
  EXPECT_EQ(Folded(fold, "頭髮和髮"), "头发和发");
  EXPECT_EQ(Folded(fold, "臺"), "台");        // a phrase cut short by the end
  EXPECT_EQ(Folded(fold, "简体字abc"), "简体字abc");
  EXPECT_EQ(Folded(fold, "\xE8\x87\xBA\xFF電"), "台\xFF电");
}

TEST(ScriptTable, BadFilesThrow) {
  struct Case {
    const char* content;
    const char* message;
  };
  const Case cases[] = {
      {"b\ta\na\tb\n", ":2: FROM out of byte order or repeated"},
      {"a b\n", ":1: expected FROM<TAB>TO"},
      {"ab\ta\n", ":1: FROM and TO differ in length"},
  };
  for (const Case& c : cases) {
    const std::string path = mira_test::WriteTemp("script_table.txt", c.content);
    try {
      ScriptTable table(path);
      ADD_FAILURE() << c.content;
    } catch (const mira::typing::text::limonp::BadContentError& e) {
      EXPECT_EQ(std::string(e.what()), path + c.message);
    }
  }
  EXPECT_THROW(ScriptTable("/nonexistent/t2s.txt"), mira::typing::text::limonp::FileOpenError);
}

}  // namespace
