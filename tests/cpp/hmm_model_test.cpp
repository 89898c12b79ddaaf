#include "tokenizer/jieba/HMMModel.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace {

using mira::typing::text::jieba::HMMModel;
using mira::typing::text::limonp::BadContentError;
using mira::typing::text::limonp::FileOpenError;

const std::vector<std::string> kGoodLines = {
    "-0.5 -1e10 -1e10 -1.5",
    "-1e10 -0.4 -1.1 -1e10",
    "-0.7 -1e10 -1e10 -0.6",
    "-1e10 -0.2 -1.7 -1e10",
    "-0.9 -1e10 -1e10 -0.5",
    "天:-1.0,a:-2.5",
    "地:-1.5",
    "人:-3.0",
    "天:-4.0,天:-5.0",
};

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

TEST(HMMModel, LoadsValuesIgnoringCommentsAndBlankLines) {
  std::string text = "# header\n\n \t \n";
  for (size_t i = 0; i < kGoodLines.size(); ++i) {
    text += (i == 2 ? "   " : "") + kGoodLines[i] + (i == 1 ? " \r\n" : "\n");
    text += "  # comment between lines\n\t\n";
  }
  text += "trailing garbage is never read\n";
  HMMModel model(mira_test::WriteTemp("hmm_good", text));

  EXPECT_EQ(std::string(model.stateNames.data(), 4), "BEMS");
  EXPECT_DOUBLE_EQ(model.startLogProb[0], -0.5);
  EXPECT_DOUBLE_EQ(model.startLogProb[3], -1.5);
  EXPECT_DOUBLE_EQ(model.transLogProb[0][1], -0.4);
  EXPECT_DOUBLE_EQ(model.transLogProb[1][3], -0.6);
  EXPECT_DOUBLE_EQ(model.transLogProb[3][0], -0.9);
  EXPECT_DOUBLE_EQ(model.Emit(HMMModel::B, U'天', 0.0), -1.0);
  EXPECT_DOUBLE_EQ(model.Emit(HMMModel::B, U'a', 0.0), -2.5);
  EXPECT_DOUBLE_EQ(model.Emit(HMMModel::E, U'地', 0.0), -1.5);
  EXPECT_DOUBLE_EQ(model.Emit(HMMModel::M, U'人', 0.0), -3.0);
  EXPECT_DOUBLE_EQ(model.Emit(HMMModel::S, U'天', 0.0), -5.0);  // later value wins
  EXPECT_DOUBLE_EQ(model.Emit(HMMModel::S, U'地', 7.0), 7.0);   // unknown: caller's value
}

struct BadModelCase {
  const char* name;
  size_t line_index;     // line of kGoodLines to replace; npos truncates instead
  const char* replacement;
  size_t keep_lines;     // lines kept when truncating
  const char* expected;  // the whole expected stderr after the time stamp
};

constexpr size_t kTruncate = static_cast<size_t>(-1);

class HMMModelBad : public testing::TestWithParam<BadModelCase> {};

TEST_P(HMMModelBad, FailsWithItsMessage) {
  const BadModelCase& c = GetParam();
  std::vector<std::string> lines = kGoodLines;
  if (c.line_index == kTruncate) {
    lines.resize(c.keep_lines);
  } else {
    lines[c.line_index] = c.replacement;
  }
  const std::string path = mira_test::WriteTemp(std::string("hmm_") + c.name, Join(lines));
  std::string err =
      mira_test::StderrOfThrow<BadContentError>([&] { HMMModel model(path); });
  // Drop the "YYYY-MM-DD HH:MM:SS " time stamps of every line.
  std::string stripped;
  size_t pos = 0;
  while (pos < err.size()) {
    size_t eol = err.find('\n', pos);
    if (eol == std::string::npos) eol = err.size();
    std::string line = err.substr(pos, eol - pos);
    stripped += (line.size() > 20 ? line.substr(20) : line) + "\n";
    pos = eol + 1;
  }
  EXPECT_EQ(stripped, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HMMModelBad,
    testing::Values(
        BadModelCase{"empty", kTruncate, "", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:44 FATAL exp: [GetLine(ifile, line)] "
                     "false. \n"},
        BadModelCase{"start_fields", 0, "-0.5 -1 -1", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:46 FATAL exp: [tmp.size() == "
                     "STATUS_SUM] false. \n"},
        BadModelCase{"no_transitions", kTruncate, "", 1,
                     "csrc/tokenizer/jieba/HMMModel.hpp:53 FATAL exp: [GetLine(ifile, line)] "
                     "false. \n"},
        BadModelCase{"double_blank", 3, "-0.7  -1 -1 -0.6", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:55 FATAL exp: [tmp.size() == "
                     "STATUS_SUM] false. \n"},
        BadModelCase{"no_emit_b", kTruncate, "", 5,
                     "csrc/tokenizer/jieba/HMMModel.hpp:62 FATAL exp: [GetLine(ifile, line)] "
                     "false. \n"},
        BadModelCase{"emit_b_empty_item", 5, "天:-1.0,,a:-2", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:108 ERROR emitProb illegal.\n"
                     "csrc/tokenizer/jieba/HMMModel.hpp:63 FATAL exp: [LoadEmitProb(line, "
                     "emitProbB)] false. \n"},
        BadModelCase{"emit_e_two_runes", 6, "天地:-1.0", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:112 ERROR TransCode failed.\n"
                     "csrc/tokenizer/jieba/HMMModel.hpp:67 FATAL exp: [LoadEmitProb(line, "
                     "emitProbE)] false. \n"},
        BadModelCase{"emit_m_three_parts", 7, "人:-1:2", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:108 ERROR emitProb illegal.\n"
                     "csrc/tokenizer/jieba/HMMModel.hpp:71 FATAL exp: [LoadEmitProb(line, "
                     "emitProbM)] false. \n"},
        BadModelCase{"emit_s_bad_utf8", 8, "\xE4\xB8:-1", 0,
                     "csrc/tokenizer/jieba/HMMModel.hpp:112 ERROR TransCode failed.\n"
                     "csrc/tokenizer/jieba/HMMModel.hpp:75 FATAL exp: [LoadEmitProb(line, "
                     "emitProbS)] false. \n"},
        BadModelCase{"ends_after_eight", kTruncate, "", 8,
                     "csrc/tokenizer/jieba/HMMModel.hpp:74 FATAL exp: [GetLine(ifile, line)] "
                     "false. \n"}),
    [](const testing::TestParamInfo<BadModelCase>& info) { return std::string(info.param.name); });

TEST(HMMModel, MissingFileIsAnOpenError) {
  const std::string path = testing::TempDir() + "no_such_model.utf8";
  std::string err = mira_test::StderrOfThrow<FileOpenError>([&] { HMMModel model(path); });
  EXPECT_NE(err.find("csrc/tokenizer/jieba/HMMModel.hpp:39 FATAL exp: [ifile.is_open()] false. "
                     "open " + path + " failed\n"),
            std::string::npos)
      << err;
}

}  // namespace
