#include "tokenizer/jieba/HMMSegment.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using mira::typing::text::jieba::HMMModel;
using mira::typing::text::jieba::HMMSegment;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::Word;
using Words = std::vector<std::string>;

class HMMSegmentTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { model_ = new HMMModel(mira_test::DataPath("hmm_model.utf8")); }
  static void TearDownTestSuite() {
    delete model_;
    model_ = nullptr;
  }
  Words Cut(const std::string& s) const {
    HMMSegment seg(model_);
    Words words;
    seg.Cut(s, words);
    return words;
  }
  static HMMModel* model_;
};
HMMModel* HMMSegmentTest::model_ = nullptr;

struct CutCase {
  const char* input;
  Words expected;
};

TEST_F(HMMSegmentTest, CutsByAsciiRulesAndViterbi) {
  const std::vector<CutCase> cases = {
      {"", {}},
      {"abc123def", {"abc123def"}},
      {"123abc", {"123", "abc"}},
      {"3.14", {"3.14"}},
      {".5", {".", "5"}},
      {"1.2.3.x", {"1.2.3.", "x"}},
      {"a-b", {"a", "-", "b"}},
      {"a b", {"a", " ", "b"}},
      {"韩冰林森", {"韩冰", "林森"}},
      {"韩冰ab林森", {"韩冰", "ab", "林森"}},
      {"韩冰,林森", {"韩冰", ",", "林森"}},
      {"韩冰，林森。", {"韩冰", "，", "林森", "。"}},
      // One rune always ends in E or S, so it is a word of its own.
      {"森", {"森"}},
      {"韩", {"韩"}},
      // Runes the model never emits: every state is at the floor and each
      // rune becomes a word.
      {"未知字", {"未", "知", "字"}},
      {"啊韩冰", {"啊", "韩冰"}},
      // Full-width letters, digits and point are not ASCII: the model labels
      // them (this one emits none, so each is a word), and an ASCII run ends
      // at them.
      {"Ａ１全角", {"Ａ", "１", "全", "角"}},
      {"８到１０度", {"８", "到", "１", "０", "度"}},
      {"ＧＢ２３１２ｘ", {"Ｇ", "Ｂ", "２", "３", "１", "２", "ｘ"}},
      {"５．２％", {"５", "．", "２", "％"}},
      {"１０１0a", {"１", "０", "１", "0", "a"}},
      {"10１０", {"10", "１", "０"}},
      {"韩冰２０２４林森", {"韩冰", "２", "０", "２", "４", "林", "森"}},
  };
  for (const CutCase& c : cases) EXPECT_EQ(Cut(c.input), c.expected) << c.input;
}

TEST_F(HMMSegmentTest, ViterbiLabelsKnownRunes) {
  HMMSegment seg(model_);
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(std::string("韩冰林森"), runes));
  std::vector<size_t> status;
  seg.Viterbi(runes.begin(), runes.end(), status);
  EXPECT_EQ(status, (std::vector<size_t>{HMMModel::B, HMMModel::E, HMMModel::B, HMMModel::E}));
}

TEST_F(HMMSegmentTest, WordFormCarriesOffsets) {
  HMMSegment seg(model_);
  std::vector<Word> words;
  seg.Cut("ab 韩冰", words);
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[2].text, "韩冰");
  EXPECT_EQ(words[2].byte_offset, 3u);
  EXPECT_EQ(words[2].rune_offset, 3u);
  EXPECT_EQ(words[2].rune_length, 2u);
}

// Whatever the runes, the words cover the sentence exactly and in order.
TEST_F(HMMSegmentTest, WordsAlwaysCoverTheSentence) {
  const std::vector<std::string> alphabet = {"韩", "冰", "林", "森", "小", "明", "未", "a",
                                             "Z", "7", ".", " ", "，", "-", "\t", "😀"};
  std::mt19937 rng(20240611);
  for (int round = 0; round < 500; ++round) {
    const std::string s = mira_test::RandomSentence(rng, alphabet, rng() % 24);
    std::string joined;
    for (const std::string& w : Cut(s)) {
      EXPECT_FALSE(w.empty()) << s;
      joined += w;
    }
    EXPECT_EQ(joined, s);
  }
}

}  // namespace
