// The token streams a text turns into, each checked against what it must
// equal: word spans (tokenize) against the text, tags and index terms
// (TextEncoder tokens) against the cut, keywords against a plain count, the
// BM25 weights of the terms against their lists, and the token-id keying of
// a vector (id_vector) against a plain sum.
//
// Input: one flag byte (bit 0 search cut, bit 1 stop words, bit 2 two
// threads, bits 3-4 a keyword count), then texts separated by newlines.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/BM25.hpp"
#include "bm25/TokenId.hpp"
#include "common/TermChars.hpp"
#include "encoder/TextEncoder.hpp"
#include "fuzz_support.hpp"
#include "tokenizer/jieba/CharClass.hpp"

namespace {

using mira::typing::text::BM25;
using mira::typing::text::HasTermChar;
using mira::typing::text::IdWeight;
using mira::typing::text::kMaxTokenId;
using mira::typing::text::TextEncoder;
using mira::typing::text::TokenId;
using mira::typing::text::jieba::Jieba;
using mira::typing::text::jieba::Keyword;
using mira::typing::text::jieba::RuneArray;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::Word;
using Words = std::vector<std::string>;

#define CHECK(condition)                                                           \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                \
    }                                                                              \
  } while (false)

// The spans name the words, each at its place in the text; those of the
// normal cut tile a decodable text.
void CheckSpans(const std::string& text, const Words& words, const std::vector<Word>& spans,
                bool tiles) {
  CHECK(spans.size() == words.size());
  RuneStrArray runes;
  if (!mira::typing::text::jieba::DecodeRunesInString(text, runes)) return;
  // rune_at[b]: the index of the rune that starts at byte b, or -1.
  std::vector<long> rune_at(text.size() + 1, -1);
  for (size_t k = 0; k < runes.size(); ++k) rune_at[runes[k].byte_offset] = static_cast<long>(k);
  rune_at[text.size()] = static_cast<long>(runes.size());
  size_t next = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    const Word& span = spans[i];
    CHECK(span.text == words[i] && !span.text.empty());
    CHECK(span.byte_offset + span.text.size() <= text.size());
    CHECK(text.compare(span.byte_offset, span.text.size(), span.text) == 0);
    CHECK(rune_at[span.byte_offset] == static_cast<long>(span.rune_offset));
    CHECK(rune_at[span.byte_offset + span.text.size()] ==
          static_cast<long>(span.rune_offset + span.rune_length));
    if (tiles) {
      CHECK(span.byte_offset == next);
      next += span.text.size();
    }
  }
  if (tiles) CHECK(next == text.size());
}

// Keywords as a plain count gives them: words of two or more runes with a
// letter or a number, not stop words (exactly or with a CR), weighed
// count / counted * IDF (the mean for unknown words), heaviest first, ties
// in order of first appearance.
std::vector<Keyword> PlainKeywords(const Words& words) {
  const auto& extractor = mira_fuzz::SmallJieba().GetKeywordExtractor();
  std::vector<Keyword> counted;
  std::map<std::string, size_t> place;
  size_t total = 0;
  for (const std::string& word : words) {
    RuneArray runes;
    if (!mira::typing::text::jieba::DecodeRunesInString(word, runes) || runes.size() < 2 ||
        std::none_of(runes.begin(), runes.end(), mira::typing::text::jieba::IsLetterOrDigit) ||
        extractor.StopWords().count(word) != 0 || extractor.StopWords().count(word + "\r") != 0) {
      continue;
    }
    const auto [it, fresh] = place.emplace(word, counted.size());
    if (fresh) counted.push_back({word, 0.0});
    counted[it->second].weight += 1.0;
    ++total;
  }
  const double mean = std::isnan(extractor.IdfAverage()) ? 0.0 : extractor.IdfAverage();
  for (Keyword& keyword : counted) {
    const double* idf = extractor.IdfTable().Find(keyword.word);
    keyword.weight = keyword.weight / static_cast<double>(total) * (idf ? *idf : mean);
  }
  std::stable_sort(counted.begin(), counted.end(),
                   [](const Keyword& a, const Keyword& b) { return a.weight > b.weight; });
  return counted;
}

void CheckKeywords(const std::string& text, const Words& words, size_t top_k) {
  const Jieba& jieba = mira_fuzz::SmallJieba();
  const std::vector<Keyword> plain = PlainKeywords(words);
  for (size_t k : {size_t{0}, top_k}) {
    const std::vector<Keyword> got = jieba.ExtractKeywords(text, k);
    CHECK(got.size() == (k == 0 ? plain.size() : std::min(k, plain.size())));
    for (size_t i = 0; i < got.size(); ++i) {
      CHECK(got[i].word == plain[i].word && got[i].weight == plain[i].weight);
    }
  }
}

// The BM25 weights of each term list: one per distinct term, in byte order,
// at its first occurrence, within (0, 1); then keyed by token id, the sums
// of a plain map in ascending id order.
void CheckWeightsAndIds(const std::vector<Words>& lists, unsigned threads) {
  BM25 model;
  size_t documents = TextEncoder::TrainTokens(model, lists);
  if (documents == 0) return;
  const std::vector<BM25::Weights> weights =
      model.weigh_documents(TextEncoder::Views(lists), threads);
  CHECK(weights.size() == lists.size());
  for (size_t d = 0; d < lists.size(); ++d) {
    const Words& list = lists[d];
    std::vector<std::string> distinct(list);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    CHECK(weights[d].size() == distinct.size());
    std::vector<IdWeight> entries;
    std::map<uint32_t, double> plain;
    for (size_t i = 0; i < weights[d].size(); ++i) {
      const BM25::Weight& weight = weights[d][i];
      CHECK(weight.first < list.size() && list[weight.first] == distinct[i]);
      CHECK(std::find(list.begin(), list.end(), distinct[i]) - list.begin() ==
            static_cast<std::ptrdiff_t>(weight.first));
      CHECK(weight.value > 0.0 && weight.value < 1.0);
      const uint32_t id = TokenId(distinct[i]);
      CHECK(id <= kMaxTokenId);
      entries.emplace_back(id, weight.value);
      plain[id] += weight.value;
    }
    const std::vector<IdWeight> summed = mira::typing::text::SumById(entries);
    CHECK(summed == std::vector<IdWeight>(plain.begin(), plain.end()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mira_fuzz::SilenceDiagnostics();
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const bool search = (flags & 1) != 0;
  const unsigned threads = (flags & 4) != 0 ? 2 : 1;
  const size_t top_k = (flags >> 3) & 3;
  std::vector<std::string> texts;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (size_t start = 0; start <= rest.size();) {
    const size_t end = std::min(rest.find('\n', start), rest.size());
    texts.emplace_back(rest.substr(start, end - start));
    start = end + 1;
  }

  const Jieba& jieba = mira_fuzz::SmallJieba();
  const auto shared = std::shared_ptr<const Jieba>(&jieba, [](const Jieba*) {});
  const TextEncoder encoder(shared, std::make_shared<BM25>(),
                            TextEncoder::Options{search, (flags & 2) != 0});
  std::vector<Words> terms;
  for (const std::string& text : texts) {
    Words cut;
    Words search_cut;
    jieba.Cut(text, cut);
    jieba.CutForSearch(text, search_cut);
    std::vector<Word> spans;
    jieba.Tokenize(text, spans, false);
    CheckSpans(text, cut, spans, true);
    jieba.Tokenize(text, spans, true);
    CheckSpans(text, search_cut, spans, false);

    std::vector<mira::typing::text::jieba::WordTag> tagged;
    jieba.Tag(text, tagged);
    CHECK(tagged.size() == cut.size());
    for (size_t i = 0; i < cut.size(); ++i) CHECK(tagged[i].first == cut[i]);

    CheckKeywords(text, cut, top_k);

    // The index terms: the words of the chosen cut that hold a letter or a
    // digit and are not stop words, in order.
    Words expected;
    for (const std::string& word : search ? search_cut : cut) {
      if (HasTermChar(word) && encoder.stop_words().count(word) == 0) expected.push_back(word);
    }
    Words got;
    encoder.Tokens(text, got);
    CHECK(got == expected);
    terms.push_back(std::move(got));
  }
  CHECK(encoder.TokensMany(texts, threads) == terms);
  CheckWeightsAndIds(terms, threads);
  return 0;
}
