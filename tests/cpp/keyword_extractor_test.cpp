#include "tokenizer/jieba/KeywordExtractor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "segment_fixture.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

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

// Random lines of words, values and stray spaces: the table and the mean
// must equal those of a plain split-into-fields reading of the same text.
TEST(KeywordExtractor, IdfLoadMatchesAFieldSplitReference) {
  namespace limonp = mira::typing::text::limonp;
  std::mt19937 rng(11);
  const char* const pieces[] = {"a", "b", "中", " ", " ", "1", "2.5", "-"};
  std::uniform_int_distribution<int> length(0, 6);
  std::uniform_int_distribution<int> piece(0, 7);
  std::string text;
  for (int i = 0; i < 3000; ++i) {
    for (int n = length(rng); n > 0; --n) text += pieces[piece(rng)];
    text += '\n';
  }
  std::unordered_map<std::string, double> want;
  double sum = 0.0;
  size_t lines = 0;
  std::vector<std::string_view> fields;
  for (std::string_view rest = text; !rest.empty(); ++lines) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(line.size() + 1);
    limonp::SplitView(line, fields, " ");
    if (line.empty() || fields.size() != 2) continue;
    want[std::string(fields[0])] = limonp::ParseDouble(fields[1]);
    sum += limonp::ParseDouble(fields[1]);
  }
  const std::string idf = mira_test::WriteTemp("idf_random", text);
  mira_test::StderrOf([&] {
    KeywordExtractor k = Load(idf, mira_test::DataPath("stop_words.utf8"));
    ASSERT_EQ(k.IdfTable().size(), want.size());
    for (const auto& [word, value] : want) EXPECT_EQ(k.IdfTable().at(word), value) << word;
    EXPECT_EQ(k.IdfAverage(), sum / static_cast<double>(lines));
  });
}

}  // namespace
