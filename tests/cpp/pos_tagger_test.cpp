#include "tokenizer/jieba/PosTagger.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "segment_fixture.hpp"
#include "tokenizer/jieba/MixSegment.hpp"

namespace {

using mira::typing::text::jieba::MixSegment;
using mira::typing::text::jieba::PosTagger;

struct TagCase {
  const char* word;
  const char* tag;
};

TEST(PosTagger, LookupTagUsesDictionaryThenFallbacks) {
  MixSegment seg(&mira_test::UserDict(), &mira_test::Model());
  PosTagger tagger;
  const std::vector<TagCase> cases = {
      {"北京大学", "nt"},
      {"我", "r"},
      {"云计算", "n"},  // user word with a tag
      {"de", "eng"},    // user word, tag from the file
      {"林", "x"},      // user word with an empty tag: classified
      {"韩冰", "x"},
      {"a", "x"},  // one rune is always "x"
      {"7", "x"},
      {"2024", "m"},
      {"abc", "eng"},
      {"a1", "eng"},  // the scan stops after 'a'
      {"1a", "m"},    // the scan stops after '1'
      {"12ab", "m"},
      {"a1b2c3", "eng"},
      {"韩1", "m"},
      {"", "x"},
  };
  for (const TagCase& c : cases) EXPECT_EQ(tagger.LookupTag(c.word, seg), c.tag) << c.word;
}

TEST(PosTagger, UndecodableWordIsOther) {
  MixSegment seg(&mira_test::UserDict(), &mira_test::Model());
  PosTagger tagger;
  std::string tag;
  std::string err = mira_test::StderrOf([&] { tag = tagger.LookupTag("\xFF", seg); });
  EXPECT_EQ(tag, "x");
  EXPECT_NE(err.find("csrc/tokenizer/jieba/PosTagger.hpp:42 ERROR Decode failed.\n"),
            std::string::npos)
      << err;
}

TEST(PosTagger, TagAppendsWithoutClearing) {
  MixSegment seg(&mira_test::UserDict(), &mira_test::Model());
  PosTagger tagger;
  std::vector<std::pair<std::string, std::string>> out;
  EXPECT_FALSE(tagger.Tag("", out, seg));
  EXPECT_TRUE(tagger.Tag("我", out, seg));
  EXPECT_TRUE(tagger.Tag("北京", out, seg));
  EXPECT_EQ(out, (std::vector<std::pair<std::string, std::string>>{{"我", "r"}, {"北京", "ns"}}));
}

}  // namespace
