#include "tokenizer/jieba/KeywordExtractor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "segment_fixture.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace {

using mira::typing::text::jieba::KeywordExtractor;
using mira::typing::text::limonp::FileOpenError;

KeywordExtractor Load(const std::string& idf, const std::string& stop) {
  return KeywordExtractor(&mira_test::UserDict(), &mira_test::Model(), idf, stop);
}

TEST(KeywordExtractor, LoadsIdfAndStopWords) {
  std::string err;
  err = mira_test::StderrOf([&] {
    KeywordExtractor k = Load(mira_test::DataPath("idf.utf8"), mira_test::DataPath("stop_words.utf8"));
    EXPECT_EQ(k.IdfTable().size(), 2u);
    EXPECT_DOUBLE_EQ(k.IdfTable().at("北京"), 2.0);
    EXPECT_DOUBLE_EQ(k.IdfTable().at("大学"), 4.0);
    // The mean divides by every line read, the skipped empty one included.
    EXPECT_DOUBLE_EQ(k.IdfAverage(), 2.0);
    EXPECT_EQ(k.StopWords(), (std::unordered_set<std::string>{"的", "是", "啊"}));
  });
  EXPECT_NE(err.find("csrc/tokenizer/jieba/KeywordExtractor.hpp:109 ERROR lineno: 1 empty. "
                     "skipped.\n"),
            std::string::npos)
      << err;
}

TEST(KeywordExtractor, SkipsLinesWithoutTwoFields) {
  const std::string idf =
      mira_test::WriteTemp("idf_fields", "a 1\nb  2\nc 3 \nd\nd 5\na 7\n");
  const std::string stop = mira_test::WriteTemp("stop_cr", "x\r\n\ny\nx\r\n");
  std::string err = mira_test::StderrOf([&] {
    KeywordExtractor k = Load(idf, stop);
    EXPECT_EQ(k.IdfTable().size(), 3u);
    EXPECT_DOUBLE_EQ(k.IdfTable().at("a"), 7.0);  // a repeated word keeps the later value
    EXPECT_DOUBLE_EQ(k.IdfTable().at("c"), 3.0);  // a trailing blank adds no field
    EXPECT_DOUBLE_EQ(k.IdfAverage(), (1.0 + 3.0 + 5.0 + 7.0) / 6);
    // Lines are kept verbatim: carriage returns stay, an empty line is a word.
    EXPECT_EQ(k.StopWords(), (std::unordered_set<std::string>{"x\r", "", "y"}));
  });
  EXPECT_NE(err.find("KeywordExtractor.hpp:114 ERROR line: b  2, lineno: 1 empty. skipped.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("KeywordExtractor.hpp:114 ERROR line: d, lineno: 3 empty. skipped.\n"),
            std::string::npos)
      << err;
}

TEST(KeywordExtractor, EmptyIdfFileLoads) {
  KeywordExtractor k = Load(mira_test::WriteTemp("idf_empty", ""),
                            mira_test::DataPath("stop_words.utf8"));
  EXPECT_TRUE(k.IdfTable().empty());
  EXPECT_TRUE(std::isnan(k.IdfAverage()));
}

TEST(KeywordExtractor, MissingFilesAreOpenErrors) {
  const std::string missing = testing::TempDir() + "no_such_file.utf8";
  std::string err = mira_test::StderrOfThrow<FileOpenError>(
      [&] { Load(missing, mira_test::DataPath("stop_words.utf8")); });
  EXPECT_NE(err.find("csrc/tokenizer/jieba/KeywordExtractor.hpp:100 FATAL exp: [ifs.is_open()] "
                     "false. open " + missing + " failed\n"),
            std::string::npos)
      << err;
  err = mira_test::StderrOfThrow<FileOpenError>(
      [&] { Load(mira_test::DataPath("idf.utf8"), missing); });
  EXPECT_NE(err.find("csrc/tokenizer/jieba/KeywordExtractor.hpp:129 FATAL exp: [ifs.is_open()] "
                     "false. open " + missing + " failed\n"),
            std::string::npos)
      << err;
}

}  // namespace
