// Offsets, tags and keywords through the facade.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace {

using mira::typing::text::jieba::Jieba;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::Word;
using mira::typing::text::jieba::WordTag;
using mira_test::DataPath;
using Words = std::vector<std::string>;

const Jieba& Shared() {
  static const Jieba jieba(DataPath("dict.utf8"), DataPath("hmm_model.utf8"),
                           DataPath("user_dict.utf8"), DataPath("idf.utf8"),
                           DataPath("stop_words.utf8"));
  return jieba;
}

// The text of runes [start, start + length) of s.
std::string RuneSlice(const std::string& s, size_t start, size_t length) {
  RuneStrArray runes;
  EXPECT_TRUE(DecodeRunesInString(s, runes));
  if (length == 0 || start + length > runes.size()) return "<out of range>";
  const auto& first = runes[start];
  const auto& last = runes[start + length - 1];
  return s.substr(first.byte_offset, last.byte_offset + last.byte_length - first.byte_offset);
}

size_t RuneCount(const std::string& s) {
  RuneStrArray runes;
  EXPECT_TRUE(DecodeRunesInString(s, runes));
  return runes.size();
}

class Tokenize : public testing::TestWithParam<std::string> {};

TEST_P(Tokenize, CutOffsetsTileTheSentence) {
  const std::string& sentence = GetParam();
  std::vector<Word> words;
  Shared().Tokenize(sentence, words, false);
  Words cut;
  Shared().Cut(sentence, cut);
  ASSERT_EQ(words.size(), cut.size());
  size_t next = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(words[i].text, cut[i]);
    EXPECT_EQ(words[i].rune_offset, next) << words[i].text;
    EXPECT_EQ(RuneSlice(sentence, words[i].rune_offset, words[i].rune_length), words[i].text);
    next = words[i].rune_offset + words[i].rune_length;
  }
  EXPECT_EQ(next, RuneCount(sentence));
}

TEST_P(Tokenize, SearchOffsetsPointAtEachWord) {
  const std::string& sentence = GetParam();
  std::vector<Word> words;
  Shared().Tokenize(sentence, words, true);
  Words cut;
  Shared().CutForSearch(sentence, cut);
  ASSERT_EQ(words.size(), cut.size());
  for (size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(words[i].text, cut[i]);
    EXPECT_EQ(RuneSlice(sentence, words[i].rune_offset, words[i].rune_length), words[i].text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sentences, Tokenize,
    testing::Values("", " ", "我是北京大学的学生，韩冰林森",
                    "\xF0\xA0\x80\x80北京大学 \xF0\x9F\x98\x80学生\t",  // U+20000, U+1F600
                    "  de蓝莓2024年，，云计算。"));

TEST(JiebaTag, WordsAreTheCutWords) {
  const std::string sentence = "我是北京大学的学生，韩冰林森de 2024 abc";
  std::vector<WordTag> tagged = {{"stale", "x"}};
  Shared().Tag(sentence, tagged);
  Words cut;
  Shared().Cut(sentence, cut);
  ASSERT_EQ(tagged.size(), cut.size());
  for (size_t i = 0; i < cut.size(); ++i) EXPECT_EQ(tagged[i].first, cut[i]);
  EXPECT_EQ(tagged[2], (WordTag{"北京大学", "nt"}));
  EXPECT_EQ(tagged[6], (WordTag{"韩冰", "x"}));
  EXPECT_EQ(tagged[9], (WordTag{"de", "eng"}));
  EXPECT_EQ(tagged[11], (WordTag{"2024", "m"}));
  EXPECT_EQ(tagged[13], (WordTag{"abc", "eng"}));
}

TEST(JiebaKeywords, GoesThroughTheExtractor) {
  // 北京 (IDF 2) twice, 大学 (IDF 4) once, 学生 (the file mean, 2) once; the
  // stop words 的 and 是 are not counted. 北京 and 大学 tie; 北京 came first.
  const auto keywords = Shared().ExtractKeywords("北京的大学是北京学生", 0);
  ASSERT_EQ(keywords.size(), 3u);
  EXPECT_EQ(keywords[0].word, "北京");
  EXPECT_DOUBLE_EQ(keywords[0].weight, 2.0 / 4 * 2.0);
  EXPECT_EQ(keywords[1].word, "大学");
  EXPECT_DOUBLE_EQ(keywords[1].weight, 1.0 / 4 * 4.0);
  EXPECT_EQ(keywords[2].word, "学生");
  EXPECT_DOUBLE_EQ(keywords[2].weight, 1.0 / 4 * 2.0);
}

}  // namespace
