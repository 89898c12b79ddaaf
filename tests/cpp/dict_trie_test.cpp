#include "tokenizer/jieba/DictTrie.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"

namespace {

namespace limonp = mira::typing::text::limonp;
using mira::typing::text::jieba::Dag;
using mira::typing::text::jieba::DecodeRunesInString;
using mira::typing::text::jieba::DictTrie;
using mira::typing::text::jieba::DictUnit;
using mira::typing::text::jieba::kUserWeightMax;
using mira::typing::text::jieba::kUserWeightMedian;
using mira::typing::text::jieba::kUserWeightMin;
using mira::typing::text::jieba::Rune;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::UserWordWeightOption;

std::string Data(const std::string& name) { return mira_test::TestDataPath("dict", name); }

// The exact entry for word, or null.
const DictUnit* Lookup(const DictTrie& dict, const std::string& word) {
  RuneStrArray runes;
  EXPECT_TRUE(DecodeRunesInString(word, runes));
  return dict.Find(runes.begin(), runes.end());
}

Rune FirstRune(const std::string& word) {
  RuneStrArray runes;
  EXPECT_TRUE(DecodeRunesInString(word, runes));
  return runes[0].rune;
}

using mira_test::kLogStamp;

TEST(DictTrie, TwoWordWeights) {
  DictTrie dict(Data("two_words.utf8"));
  EXPECT_DOUBLE_EQ(dict.TotalFrequency(), 4.0);
  ASSERT_EQ(dict.Units().size(), 2u);
  EXPECT_DOUBLE_EQ(dict.Units()[0].weight, std::log(0.25));
  EXPECT_DOUBLE_EQ(dict.Units()[1].weight, std::log(0.75));
  EXPECT_EQ(dict.Units()[0].tag, "n");
  EXPECT_DOUBLE_EQ(dict.LowestWeight(), std::log(0.25));
  EXPECT_DOUBLE_EQ(dict.HighestWeight(), std::log(0.75));
  EXPECT_DOUBLE_EQ(dict.MiddleWeight(), std::log(0.75));  // index 2/2 = 1
  EXPECT_EQ(Lookup(dict, "乙"), &dict.Units()[1]);
  EXPECT_FALSE(dict.IsUserDictSingleRune(FirstRune("甲")));
}

struct OptionCase {
  UserWordWeightOption option;
  double expected;
};

class UserDefaultWeightTest : public testing::TestWithParam<OptionCase> {};

// main.utf8 holds frequencies 1, 3, 2, 4 (total 10), the last line unterminated.
TEST_P(UserDefaultWeightTest, ComesFromMainDictionary) {
  DictTrie dict(Data("main.utf8"), Data("user_a.utf8"), GetParam().option);
  EXPECT_DOUBLE_EQ(dict.TotalFrequency(), 10.0);
  EXPECT_DOUBLE_EQ(dict.UserDefaultWeight(), GetParam().expected);
  const DictUnit* user = Lookup(dict, "子");
  ASSERT_NE(user, nullptr);
  EXPECT_DOUBLE_EQ(user->weight, GetParam().expected);
  EXPECT_EQ(user->tag, "");
}

INSTANTIATE_TEST_SUITE_P(Options, UserDefaultWeightTest,
                         testing::Values(OptionCase{kUserWeightMin, std::log(0.1)},
                                         OptionCase{kUserWeightMedian, std::log(0.3)},
                                         OptionCase{kUserWeightMax, std::log(0.4)},
                                         OptionCase{static_cast<UserWordWeightOption>(7),
                                                    std::log(0.4)}));

TEST(DictTrie, UserLinesByFieldCount) {
  testing::internal::CaptureStderr();
  DictTrie dict(Data("main.utf8"), Data("user_fields.utf8"));
  const std::string err = testing::internal::GetCapturedStderr();
  const double median = std::log(0.3);

  struct Expect {
    const char* word;
    double weight;
    const char* tag;
  };
  for (const Expect& e : {Expect{"丁", median, ""}, Expect{"丁甲", median, "nr"},
                          Expect{"丁乙", std::log(0.5), "vn"}, Expect{"乙丁", std::log(0.2), "q"},
                          Expect{"丙乙", median, ""}}) {
    const DictUnit* unit = Lookup(dict, e.word);
    ASSERT_NE(unit, nullptr) << e.word;
    EXPECT_DOUBLE_EQ(unit->weight, e.weight) << e.word;
    EXPECT_EQ(unit->tag, e.tag) << e.word;
  }
  const DictUnit* zero = Lookup(dict, "丙丁丁");
  ASSERT_NE(zero, nullptr);
  EXPECT_EQ(zero->weight, -std::numeric_limits<double>::infinity());
  EXPECT_EQ(Lookup(dict, "丙丁"), nullptr);  // four fields add nothing

  // 4 main + 6 user entries; the blank, four-field and undecodable lines add none.
  EXPECT_EQ(dict.Units().size(), 10u);
  // User words do not move the main dictionary's statistics.
  EXPECT_DOUBLE_EQ(dict.TotalFrequency(), 10.0);
  EXPECT_DOUBLE_EQ(dict.LowestWeight(), std::log(0.1));

  EXPECT_TRUE(dict.IsUserDictSingleRune(FirstRune("丁")));
  EXPECT_FALSE(dict.IsUserDictSingleRune(FirstRune("丙")));  // main-dictionary single rune
  EXPECT_FALSE(dict.IsUserDictSingleRune(FirstRune("甲")));  // only first rune of a user word

  EXPECT_TRUE(std::regex_match(
      err, std::regex(std::string(kLogStamp) +
                      "csrc/tokenizer/jieba/DictTrie\\.hpp:203 ERROR Decode \xe4\xb8 failed\\.\n")))
      << err;
}

TEST(DictTrie, SeveralUserFilesLoadInOrderAndOverrideMainWords) {
  for (const char* sep : {";", "|"}) {
    const std::string paths = Data("user_a.utf8") + sep + Data("user_b.utf8") +
                              (sep[0] == ';' ? "|" : ";") + Data("user_c.utf8") + sep;
    DictTrie dict(Data("main.utf8"), paths);
    const auto& units = dict.Units();
    ASSERT_EQ(units.size(), 7u) << paths;
    EXPECT_EQ(units[4].runes[0], FirstRune("子"));
    EXPECT_EQ(units[5].tag, "tb");
    EXPECT_EQ(units[6].tag, "uc");
    // 甲 is in both dictionaries: the user entry wins, with its own weight.
    const DictUnit* jia = Lookup(dict, "甲");
    EXPECT_EQ(jia, &units[6]);
    EXPECT_DOUBLE_EQ(jia->weight, std::log(0.9));
    RuneStrArray runes;
    ASSERT_TRUE(DecodeRunesInString("甲乙", runes));
    std::vector<Dag> dags;
    dict.Find(runes.begin(), runes.end(), dags);
    ASSERT_EQ(dags[0].next_words.size(), 2u);
    EXPECT_EQ(dags[0].next_words[0].second, &units[6]);
    EXPECT_EQ(dags[0].next_words[1].second->tag, "nz");
    // The main entry stays in the vector but the statistics keep its weight.
    EXPECT_DOUBLE_EQ(dict.LowestWeight(), std::log(0.1));
  }
}

TEST(DictTrie, MainLineFormats) {
  {
    DictTrie dict(Data("trailing_blank.utf8"));  // trailing blank, no final newline
    ASSERT_EQ(dict.Units().size(), 2u);
    EXPECT_EQ(dict.Units()[0].tag, "n");
    EXPECT_EQ(dict.Units()[1].tag, "v");
  }
  {
    DictTrie dict(Data("crlf.utf8"));  // the carriage return belongs to the tag
    EXPECT_EQ(dict.Units()[0].tag, "n\r");
  }
}

TEST(DictTrie, UndecodableMainLineIsSkippedAndNotCounted) {
  testing::internal::CaptureStderr();
  DictTrie dict(Data("bad_utf8.utf8"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(dict.Units().size(), 2u);
  EXPECT_DOUBLE_EQ(dict.TotalFrequency(), 4.0);
  EXPECT_DOUBLE_EQ(dict.HighestWeight(), std::log(0.75));
  EXPECT_TRUE(std::regex_match(
      err, std::regex(std::string(kLogStamp) +
                      "csrc/tokenizer/jieba/DictTrie\\.hpp:203 ERROR Decode \xff\xfe failed\\.\n")))
      << err;
}

TEST(DictTrie, NegativeFrequencyDoesNotBreakTheWeightOrder) {
  DictTrie dict(Data("negative_freq.utf8"));
  EXPECT_DOUBLE_EQ(dict.TotalFrequency(), 4.0);
  EXPECT_DOUBLE_EQ(dict.LowestWeight(), std::log(0.5));
  EXPECT_DOUBLE_EQ(dict.MiddleWeight(), std::log(0.75));
  EXPECT_TRUE(std::isnan(dict.HighestWeight()));
  DictUnit nan_unit;
  nan_unit.weight = std::nan("");
  DictUnit one;
  one.weight = 1.0;
  EXPECT_TRUE(DictTrie::WeightCompare(one, nan_unit));
  EXPECT_FALSE(DictTrie::WeightCompare(nan_unit, one));
  EXPECT_FALSE(DictTrie::WeightCompare(nan_unit, nan_unit));
}

struct FatalCase {
  const char* name;
  std::string dict;
  std::string user;
  bool open_error;  // FileOpenError, else BadContentError
  std::string location;
  std::string message;
};

class FatalTest : public testing::TestWithParam<FatalCase> {};

TEST_P(FatalTest, WritesLineAndThrows) {
  const FatalCase& c = GetParam();
  testing::internal::CaptureStderr();
  std::string what;
  bool open_error = false;
  try {
    DictTrie dict(c.dict, c.user);
    ADD_FAILURE() << "loaded without error";
  } catch (const limonp::FileOpenError& e) {
    open_error = true;
    what = e.what();
  } catch (const limonp::BadContentError& e) {
    what = e.what();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(open_error, c.open_error);
  EXPECT_EQ(what, c.message);
  const std::string line = "csrc/tokenizer/jieba/DictTrie.hpp:" + c.location + " FATAL " + c.message + "\n";
  ASSERT_GE(err.size(), line.size());
  EXPECT_EQ(err.substr(err.size() - line.size()), line);
  EXPECT_TRUE(std::regex_search(err, std::regex(std::string("^") + kLogStamp + "csrc/"))) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FatalTest,
    testing::Values(
        FatalCase{"main_missing", Data("missing.utf8"), "", true, "213",
                  "exp: [ifs.is_open()] false. open " + Data("missing.utf8") + " failed."},
        FatalCase{"double_blank", Data("double_blank.utf8"), "", false, "220",
                  "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:乙  3 v"},
        FatalCase{"four_fields", Data("four_fields.utf8"), "", false, "220",
                  "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:乙 3 v x"},
        FatalCase{"blank_line", Data("blank_line.utf8"), "", false, "220",
                  "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:"},
        FatalCase{"empty_main", Data("empty.utf8"), "", false, "234",
                  "exp: [!static_node_infos_.empty()] false. "},
        FatalCase{"user_missing", Data("two_words.utf8"),
                  Data("user_a.utf8") + ";" + Data("nope.utf8"), true, "159",
                  "exp: [ifs.is_open()] false. open " + Data("nope.utf8") + " failed"},
        FatalCase{"user_leading_separator", Data("two_words.utf8"), "|" + Data("user_a.utf8"),
                  true, "159", "exp: [ifs.is_open()] false. open  failed"}),
    [](const testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

}  // namespace
