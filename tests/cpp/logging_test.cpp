#include "tokenizer/jieba/limonp/Logging.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace {

namespace limonp = mira::typing::text::limonp;

using mira_test::kLogStamp;

TEST(Logger, EveryLevelWritesOneCompleteLine) {
  const std::vector<std::pair<size_t, std::string>> levels{
      {limonp::LL_DEBUG, "DEBUG"}, {limonp::LL_INFO, "INFO"}, {limonp::LL_WARN, "WARN"},
      {limonp::LL_ERROR, "ERROR"}, {limonp::LL_FATAL, "FATAL"}};
  for (const auto& [level, name] : levels) {
    testing::internal::CaptureStderr();
    { limonp::Logger(level, "csrc/x/File.hpp", 42).Stream() << "value " << 7 << '.'; }
    const std::string out = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(std::string(kLogStamp) + "csrc/x/File\\.hpp:42 " + name + " value 7\\.\n")))
        << out;
  }
}

TEST(Logger, ErrorMacroUsesGivenLocation) {
  testing::internal::CaptureStderr();
  XLOG_AT(ERROR, "csrc/tokenizer/jieba/DictTrie.hpp", 203) << "Decode " << "w" << " failed.";
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(
      out, std::regex(std::string(kLogStamp) +
                      "csrc/tokenizer/jieba/DictTrie\\.hpp:203 ERROR Decode w failed\\.\n")))
      << out;
}

int CheckedOpen(bool is_open, const std::string& path) {
  XCHECK_AT(is_open, limonp::FileOpenError, "csrc/a/B.hpp", 9, << "open " << path << " failed.");
  return 1;
}

int CheckedNonEmpty(bool empty) {
  XCHECK_AT(!empty, limonp::BadContentError, "csrc/a/B.hpp", 10, );
  return 1;
}

TEST(FatalCheck, PassingCheckIsSilent) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(CheckedOpen(true, "p"), 1);
  EXPECT_EQ(CheckedNonEmpty(false), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(FatalCheck, FailureWritesLineThenThrowsMessage) {
  testing::internal::CaptureStderr();
  try {
    CheckedOpen(false, "/no/such");
    FAIL() << "no exception";
  } catch (const limonp::FileOpenError& e) {
    EXPECT_STREQ(e.what(), "exp: [is_open] false. open /no/such failed.");
  }
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(
      out, std::regex(std::string(kLogStamp) +
                      R"(csrc/a/B\.hpp:9 FATAL exp: \[is_open\] false\. open /no/such failed\.\n)")))
      << out;

  testing::internal::CaptureStderr();
  EXPECT_THROW(CheckedNonEmpty(true), limonp::BadContentError);
  out = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(
      out, std::regex(std::string(kLogStamp) + R"(csrc/a/B\.hpp:10 FATAL exp: \[!empty\] false\. \n)")))
      << out;
}

struct SplitCase {
  const char* name;
  std::string src;
  std::string pattern;
  size_t maxsplit;
  std::vector<std::string> expected;
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, Fields) {
  const SplitCase& c = GetParam();
  std::vector<std::string> res{"stale"};
  limonp::Split(c.src, res, c.pattern, c.maxsplit);
  EXPECT_EQ(res, c.expected);
}

constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, SplitTest,
    testing::Values(
        SplitCase{"single_blanks", "a b c", " ", kNoLimit, {"a", "b", "c"}},
        SplitCase{"double_blank", "a  b", " ", kNoLimit, {"a", "", "b"}},
        SplitCase{"trailing_blank", "a b ", " ", kNoLimit, {"a", "b"}},
        SplitCase{"trailing_double", "a  ", " ", kNoLimit, {"a", ""}},
        SplitCase{"leading_blank", " a", " ", kNoLimit, {"", "a"}},
        SplitCase{"only_separator", " ", " ", kNoLimit, {""}},
        SplitCase{"empty_src", "", " ", kNoLimit, {}},
        SplitCase{"several_pattern_bytes", "a\tb c", " \t", kNoLimit, {"a", "b", "c"}},
        SplitCase{"empty_pattern", "a b", "", kNoLimit, {"a b"}},
        SplitCase{"no_separator", "abc", " ", kNoLimit, {"abc"}},
        SplitCase{"maxsplit_keeps_rest", "a b c d", " ", 2, {"a", "b", "c d"}},
        SplitCase{"maxsplit_zero", "a b", " ", 0, {"a b"}},
        SplitCase{"paths", "x;y|z|", "|;", kNoLimit, {"x", "y", "z"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

}  // namespace
