#include "encoder/TextEncoder.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoder/TermChars.hpp"
#include "test_support.hpp"

namespace {

using mira::typing::text::BM25;
using mira::typing::text::HasTermChar;
using mira::typing::text::IsTermChar;
using mira::typing::text::TextEncoder;
using mira::typing::text::jieba::Jieba;
using mira_test::DataPath;
using Words = std::vector<std::string>;

std::shared_ptr<Jieba> Load(const std::string& stop_words = DataPath("stop_words.utf8")) {
  return std::make_shared<Jieba>(DataPath("dict.utf8"), DataPath("hmm_model.utf8"),
                                 DataPath("user_dict.utf8"), DataPath("idf.utf8"), stop_words);
}

TEST(TermChars, CategoryBoundaries) {
  struct Case {
    uint32_t code_point;
    bool term;
  };
  const Case cases[] = {
      {'/', false},    {'0', true},     {'9', true},      {':', false},     {'@', false},
      {'A', true},     {'Z', true},     {'[', false},     {'`', false},     {'a', true},
      {'z', true},     {'{', false},    {0xAA, true},     {0xB2, true},     {0xB7, false},
      {0x0301, false}, {0x3002, false}, {0x3007, true},   {0x4E00, true},   {0xFF0C, false},
      {0xFF10, true},  {0xFF21, true},  {0x1F600, false}, {0x20000, true},  {0xD800, false},
      {0x10FFFF, false}, {0x110000, false}, {0xFFFFFFFF, false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsTermChar(c.code_point), c.term) << c.code_point;
}

TEST(TermChars, HasTermCharDecodesUtf8) {
  EXPECT_TRUE(HasTermChar("天气"));
  EXPECT_TRUE(HasTermChar("，a"));
  EXPECT_TRUE(HasTermChar("\xEF\xBC\x91"));  // full-width 1
  EXPECT_FALSE(HasTermChar(""));
  EXPECT_FALSE(HasTermChar(" \t，。！？"));
  EXPECT_FALSE(HasTermChar("\xF0\x9F\x98\x80"));  // an emoji
  // Undecodable bytes are no letters, and do not hide the letters after them.
  EXPECT_FALSE(HasTermChar("\xE5\xA4"));
  EXPECT_FALSE(HasTermChar("\x80\xBF\xFF"));
  EXPECT_TRUE(HasTermChar("\xE5\xA4z"));
  EXPECT_TRUE(HasTermChar("\xFF\xE5\xA4\xA9"));
}

TEST(TextEncoder, RefusesMissingParts) {
  EXPECT_THROW(TextEncoder(nullptr, std::make_shared<BM25>(), {}), std::invalid_argument);
  EXPECT_THROW(TextEncoder(Load(), nullptr, {}), std::invalid_argument);
}

TEST(TextEncoder, TokensDropPunctuationAndStopWords) {
  auto jieba = Load();
  Words words;
  jieba->Cut("我是北京大学的学生，韩冰林森", words);
  ASSERT_EQ(words, (Words{"我", "是", "北京大学", "的", "学生", "，", "韩冰", "林", "森"}));
  TextEncoder keep(jieba, std::make_shared<BM25>(), {false, false});
  TextEncoder drop(jieba, std::make_shared<BM25>(), {false, true});
  Words tokens;
  keep.Tokens("我是北京大学的学生，韩冰林森", tokens);
  EXPECT_EQ(tokens, (Words{"我", "是", "北京大学", "的", "学生", "韩冰", "林", "森"}));
  drop.Tokens("我是北京大学的学生，韩冰林森", tokens);
  EXPECT_EQ(tokens, (Words{"我", "北京大学", "学生", "韩冰", "林", "森"}));
}

TEST(TextEncoder, StopWordLinesEndAtAnyLineBreak) {
  const std::string path =
      mira_test::WriteTemp("encoder_stop.utf8", "的\r\n\r\n是\r学生\n\n\r林 \n");
  TextEncoder encoder(Load(path), std::make_shared<BM25>(), {});
  EXPECT_EQ(encoder.stop_words(), (std::unordered_set<std::string>{"的", "是", "学生", "林 "}));
  TextEncoder keep(Load(path), std::make_shared<BM25>(), {false, false});
  EXPECT_TRUE(keep.stop_words().empty());
}

// Weights as the ordered map that the per-document encoders return.
std::map<std::string, double> AsMap(const Words& tokens, const BM25::Weights& weights) {
  std::map<std::string, double> out;
  for (const BM25::Weight& w : weights) out.emplace(tokens.at(w.first), w.value);
  EXPECT_EQ(out.size(), weights.size());
  return out;
}

TEST(TextEncoder, BatchesEqualPerTextResultsForAnyThreadCount) {
  auto jieba = Load();
  const std::vector<std::string> texts = {
      "我是北京大学的学生", "", "，。", "韩冰林森", "他来到了网易杭研大厦", "小明硕士毕业于中国科学院",
      "的是",
  };
  auto model = std::make_shared<BM25>(0.6, 1.5);
  TextEncoder encoder(jieba, model, {true, true});
  std::vector<Words> expected(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) encoder.Tokens(texts[i], expected[i]);

  BM25 reference(0.6, 1.5);
  for (const Words& document : expected) {
    if (!document.empty()) reference.train(document);
  }
  EXPECT_EQ(TextEncoder::TrainTokens(*model, expected), 4u);
  EXPECT_EQ(model->doc_count(), reference.doc_count());
  EXPECT_EQ(model->doc_length_total(), reference.doc_length_total());
  EXPECT_EQ(model->doc_token_frequency(), reference.doc_token_frequency());
  for (unsigned threads : {1u, 2u, 5u, 16u}) {
    const auto tokens = encoder.TokensMany(texts, threads);
    EXPECT_EQ(tokens, expected);
    const auto documents = encoder.WeighDocuments(tokens, threads);
    const auto queries = encoder.WeighQueries(tokens, threads);
    ASSERT_EQ(documents.size(), texts.size());
    ASSERT_EQ(queries.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(AsMap(tokens[i], documents[i]), model->encode_document(expected[i]));
      EXPECT_EQ(AsMap(tokens[i], queries[i]), model->encode_query(expected[i]));
    }
  }
}

TEST(TextEncoder, UntrainedModelFailsOnlyForTextsWithTokens) {
  TextEncoder encoder(Load(), std::make_shared<BM25>(), {});
  for (unsigned threads : {1u, 3u}) {
    EXPECT_EQ(encoder.WeighDocuments(encoder.TokensMany({"", "，"}, threads), threads).size(), 2u);
    const auto tokens = encoder.TokensMany({"", "学生", ""}, threads);
    EXPECT_THROW(encoder.WeighQueries(tokens, threads), std::runtime_error);
  }
}

}  // namespace
