// Folding before cutting: letters (case, width) and scripts, each keeping
// every code point in its place.
#include <gtest/gtest.h>

#include <string>

#include "common/CharFold.hpp"
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
