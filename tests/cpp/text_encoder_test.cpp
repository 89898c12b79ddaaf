#include "encoder/TextEncoder.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <unordered_set>
#include <vector>

#include "common/TermChars.hpp"
#include "test_support.hpp"

namespace {

using mira::typing::text::BM25;
using mira::typing::text::HasTermChar;
using mira::typing::text::IsTermChar;
using mira::typing::text::TextEncoder;
using mira::typing::text::jieba::Jieba;
using mira_test::DataPath;

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

TEST(TextEncoder, StopWordLinesEndAtAnyLineBreak) {
  const std::string path =
      mira_test::WriteTemp("encoder_stop.utf8", "的\r\n\r\n是\r学生\n\n\r林 \n");
  TextEncoder encoder(Load(path), std::make_shared<BM25>(), {});
  EXPECT_EQ(encoder.stop_words(), (std::unordered_set<std::string>{"的", "是", "学生", "林 "}));
  TextEncoder keep(Load(path), std::make_shared<BM25>(), {false, false});
  EXPECT_TRUE(keep.stop_words().empty());
}

TEST(TextEncoder, TermsOfUnknownWordsAndFoldedLetters) {
  // 小明 is no word of the test dictionary: the HMM groups it.
  TextEncoder::Options options(false, true);
  options.unknown_words = true;
  options.normalize = true;
  TextEncoder encoder(Load(), std::make_shared<BM25>(), options);
  struct Case {
    const char* text;
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> terms;
  };
  const Case cases[] = {
      {"小明硕士", {{"小", 0, 1}, {"明", 1, 2}, {"小明", 0, 2}, {"硕", 2, 3}, {"士", 3, 4}}},
      {"ＡＢＣ的iPhone", {{"abc", 0, 3}, {"iphone", 4, 10}}},
  };
  for (const Case& c : cases) {
    std::vector<TextEncoder::Term> terms;
    encoder.Terms(c.text, terms);
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> got;
    for (const auto& term : terms) got.emplace_back(term.text, term.begin, term.end);
    EXPECT_EQ(got, c.terms) << c.text;
    TextEncoder::TokenList tokens;
    encoder.Tokens(c.text, tokens);
    ASSERT_EQ(tokens.size(), terms.size());
    for (size_t i = 0; i < tokens.size(); ++i) EXPECT_EQ(tokens[i], terms[i].text);
  }
}

// Each character of a word kept follows the bigram that ends at it; no
// bigram reaches into the stop word 的 (京的, 的清) or repeats a two-character
// word at its place (北京, 大学); 清华, two words here, keeps its bigram.
TEST(TextEncoder, CharacterTermsBesideTheBigrams) {
  TextEncoder::Options options(false, true);
  options.bigrams = true;
  options.characters = true;
  TextEncoder encoder(Load(), std::make_shared<BM25>(), options);
  std::vector<TextEncoder::Term> terms;
  encoder.Terms("我来到北京的清华大学", terms);
  std::vector<std::tuple<std::string, uint32_t, uint32_t>> got;
  for (const auto& term : terms) got.emplace_back(term.text, term.begin, term.end);
  const std::vector<std::tuple<std::string, uint32_t, uint32_t>> want = {
      {"我", 0, 1},   {"来", 1, 2},   {"到", 2, 3},   {"北京", 3, 5}, {"清", 6, 7},
      {"华", 7, 8},   {"大学", 8, 10}, {"我", 0, 1},   {"我来", 0, 2}, {"来", 1, 2},
      {"来到", 1, 3}, {"到", 2, 3},   {"到北", 2, 4}, {"北", 3, 4},   {"京", 4, 5},
      {"清", 6, 7},   {"清华", 6, 8}, {"华", 7, 8},   {"华大", 7, 9}, {"大", 8, 9},
      {"学", 9, 10}};
  EXPECT_EQ(got, want);
}

// Rows from kept token counts must be the rows of the weights, byte for byte:
// colliding ids are summed in the same order, the same norm is used.
TEST(TextEncoder, CountRowsEqualTheRowsOfTheWeights) {
  const std::vector<TextEncoder::TokenList> tokens = {
      {"b", "a", "b", "c"}, {}, {"a"}, {"zz", "z", "zz", "zz", "b", "z"}, {"\xff", "\x01", "a"}};
  auto model = std::make_shared<BM25>(0.6, 1.4);
  TextEncoder::TrainTokens(*model, tokens);
  TextEncoder::TokenCounts counts;
  TextEncoder::AppendCounts({tokens.begin(), tokens.begin() + 2}, counts);  // in two chunks
  TextEncoder::AppendCounts({tokens.begin() + 2, tokens.end()}, counts);
  mira::typing::text::IdRows want;
  TextEncoder::AppendIdRows(tokens, TextEncoder(Load(), model, {}).WeighDocuments(tokens, 1), want);
  const mira::typing::text::IdRows got = TextEncoder::CountRows(*model, counts);
  EXPECT_EQ(got.indptr, want.indptr);
  EXPECT_EQ(got.indices, want.indices);
  EXPECT_EQ(got.data, want.data);
  EXPECT_THROW(TextEncoder::CountRows(BM25(), counts), std::runtime_error);  // untrained
}

// Cutting and counting on threads gives the tokens of TokensMany and, chunk
// after chunk, the model of training each text in turn.
TEST(TextEncoder, CountManyCountsWhatTrainingInTurnWould) {
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) {
    // Texts of several lengths, some empty, sharing some tokens.
    const std::string letters(static_cast<size_t>(i % 5), 'x');
    const std::string han = "\xe9\x9f\xa9\xe5\x86\xb0 ";
    texts.push_back(i % 9 == 0 ? "" : letters + han + std::to_string(i % 37));
  }
  for (const BM25::Idf idf : {BM25::Idf::kOccurrences, BM25::Idf::kDocuments}) {
    TextEncoder encoder(Load(), std::make_shared<BM25>(0.5, 1.1, idf), {true, true});
    const std::vector<TextEncoder::TokenList> want = encoder.TokensMany(texts, 1);
    BM25 expected(0.5, 1.1, idf);
    TextEncoder::TrainTokens(expected, want);
    mira::typing::text::ParallelCounts counts(*encoder.model(), 3);
    std::vector<TextEncoder::TokenList> got;
    for (size_t from = 0; from < texts.size(); from += 128) {  // chunks
      const size_t to = std::min(from + 128, texts.size());
      const std::vector<std::string> chunk(texts.begin() + static_cast<long>(from),
                                           texts.begin() + static_cast<long>(to));
      for (auto& tokens : encoder.CountMany(chunk, from, counts)) got.push_back(std::move(tokens));
    }
    EXPECT_EQ(got, want);
    const BM25 model = counts.Combine();
    EXPECT_EQ(model.state().doc_token_frequency, expected.doc_token_frequency());
    EXPECT_EQ(model.doc_token_documents(), expected.doc_token_documents());
    EXPECT_EQ(model.doc_count(), expected.doc_count());
    EXPECT_EQ(model.doc_length_total(), expected.doc_length_total());
    // The counts of document rows, on threads, are those of the token lists.
    TextEncoder::TokenCounts want_counts;
    TextEncoder::AppendCounts(want, want_counts);
    TextEncoder::TokenCounts got_counts;
    for (const auto& part : encoder.CountDocuments(texts, 3)) {
      for (size_t i = 0; i < part.lengths.size(); ++i) {
        got_counts.lengths.push_back(part.lengths[i]);
        got_counts.ids.insert(got_counts.ids.end(), part.ids.begin() + part.bounds[i],
                              part.ids.begin() + part.bounds[i + 1]);
        got_counts.counts.insert(got_counts.counts.end(), part.counts.begin() + part.bounds[i],
                                 part.counts.begin() + part.bounds[i + 1]);
        got_counts.bounds.push_back(got_counts.ids.size());
      }
    }
    EXPECT_EQ(got_counts.lengths, want_counts.lengths);
    EXPECT_EQ(got_counts.bounds, want_counts.bounds);
    EXPECT_EQ(got_counts.ids, want_counts.ids);
    EXPECT_EQ(got_counts.counts, want_counts.counts);
  }
}

}  // namespace
