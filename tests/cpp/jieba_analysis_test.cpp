// Offsets and tags through the facade.
#include <gtest/gtest.h>

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

TEST(JiebaTokenize, OffsetsCountRunesAndTileTheSentence) {
  // U+20000 and U+1F600 take four bytes but one rune each.
  const std::string sentence = "\xF0\xA0\x80\x80北京大学 \xF0\x9F\x98\x80学生\t";
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(sentence, runes));
  for (bool search : {false, true}) {
    std::vector<Word> words;
    Shared().Tokenize(sentence, words, search);
    Words cut;
    search ? Shared().CutForSearch(sentence, cut) : Shared().Cut(sentence, cut);
    ASSERT_EQ(words.size(), cut.size());
    size_t next = 0;
    for (size_t i = 0; i < words.size(); ++i) {
      const Word& w = words[i];
      EXPECT_EQ(w.text, cut[i]);
      ASSERT_LE(w.rune_offset + w.rune_length, runes.size());
      const auto& first = runes[w.rune_offset];
      const auto& last = runes[w.rune_offset + w.rune_length - 1];
      EXPECT_EQ(sentence.substr(first.byte_offset,
                                last.byte_offset + last.byte_length - first.byte_offset),
                w.text);
      if (!search) {
        EXPECT_EQ(w.rune_offset, next) << w.text;
      }
      next = w.rune_offset + w.rune_length;
    }
    if (!search) {
      EXPECT_EQ(next, runes.size());
    }
  }
}

TEST(JiebaTag, ReplacesOutWithTheTaggedCutWords) {
  const std::string sentence = "我是北京大学的学生，韩冰林森de 2024 abc";
  std::vector<WordTag> tagged = {{"stale", "x"}};
  Shared().Tag(sentence, tagged);
  Words cut;
  Shared().Cut(sentence, cut);
  ASSERT_EQ(tagged.size(), cut.size());
  for (size_t i = 0; i < cut.size(); ++i) EXPECT_EQ(tagged[i].first, cut[i]);
  EXPECT_EQ(tagged[2], (WordTag{"北京大学", "nt"}));
  EXPECT_EQ(tagged[6], (WordTag{"韩冰", "x"}));
  EXPECT_EQ(tagged[11], (WordTag{"2024", "m"}));
}

}  // namespace
