#include "encoder/TextEncoder.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/CharFold.hpp"
#include "common/Parallel.hpp"
#include "common/TermChars.hpp"
#include "common/Utf8.hpp"

namespace mira::typing::text {
namespace {

// What the terms of a text's words say of each of its code points.
constexpr uint8_t kKept = 1;        // inside a word kept (not a stop word)
constexpr uint8_t kPairStarts = 2;  // a two-character term starts here

// The CJK Unified Ideographs with their extensions, and the compatibility
// ideographs.
bool IsHan(uint32_t cp) {
  return (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x20000 && cp <= 0x3134F);
}

// Particles that close a question or an exclamation, in both scripts; the
// segmenter may glue them to a word it does not know, which no name ends in.
bool IsSentenceParticle(uint32_t cp) {
  switch (cp) {
    case U'吗': case U'嗎': case U'呢': case U'吧': case U'啊': case U'呀':
    case U'嘛': case U'啦': case U'哦': case U'哇': case U'呗': case U'唄':
      return true;
    default:
      return false;
  }
}

// The stop-word file as a text reader sees it: lines end at "\n", "\r\n" or
// a lone "\r", and an empty line names no word. The segmenter keeps the
// lines split at "\n" only, so each is split again at "\r".
std::unordered_set<std::string> TextLines(const std::unordered_set<std::string>& raw_lines) {
  std::unordered_set<std::string> words;
  for (const std::string& line : raw_lines) {
    size_t start = 0;
    while (start <= line.size()) {
      size_t stop = line.find('\r', start);
      if (stop == std::string::npos) stop = line.size();
      if (stop > start) words.emplace(line, start, stop - start);
      start = stop + 1;
    }
  }
  return words;
}

}  // namespace

TextEncoder::TextEncoder(std::shared_ptr<const jieba::Jieba> jieba, std::shared_ptr<BM25> model,
                         Options options)
    : jieba_(std::move(jieba)), model_(std::move(model)), options_(options) {
  if (!jieba_) throw std::invalid_argument("TextEncoder needs a segmenter");
  if (!model_) throw std::invalid_argument("TextEncoder needs a model");
  if (options_.stop_words) {
    for (const std::string& word : TextLines(jieba_->GetKeywordExtractor().StopWords())) {
      stop_words_[word] = 1;
    }
  }
  stop_filter_.assign(kStopBits / 64, 0);
  stop_chars_.assign(0x10000 / 64, 0);
  stop_pair_starts_.assign(0x10000 / 64, 0);
  stop_three_.assign(0x10000 / 64, 0);
  for (const auto& [word, _count] : stop_words_) {
    const size_t bit = StopBit(word);
    stop_filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    if (const uint32_t cp = ThreeByteCodePoint(word)) {
      stop_three_[cp / 64] |= uint64_t{1} << (cp % 64);
    }
    size_t n = 0;
    const uint32_t first = DecodeUtf8(word, 0, n);
    if (n == 0 || first >= 0x10000) continue;
    size_t m = 0;
    if (n == word.size()) {
      stop_chars_[first / 64] |= uint64_t{1} << (first % 64);
    } else if (DecodeUtf8(word, n, m) != 0 && m != 0 && n + m == word.size()) {
      stop_pair_starts_[first / 64] |= uint64_t{1} << (first % 64);
    }
  }
}

size_t TextEncoder::StopBit(std::string_view text) {
  // The first and the last (up to) eight bytes and the length, mixed.
  const size_t n = text.size();
  uint64_t head = 0;
  uint64_t tail = 0;
  if (n > 0) std::memcpy(&head, text.data(), std::min<size_t>(n, 8));
  if (n > 8) std::memcpy(&tail, text.data() + n - 8, 8);
  const uint64_t mixed = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xBF58476D1CE4E5B9ull;
  return static_cast<size_t>(mixed >> 48);
}

std::unordered_set<std::string> TextEncoder::stop_words() const {
  std::unordered_set<std::string> words;
  for (const auto& [word, _count] : stop_words_) words.emplace(word);
  return words;
}

const TextEncoder::TermViews& TextEncoder::Views(const std::string& text) const {
  thread_local TermViews texts;
  thread_local Places places;
  Collect(text, texts, places);
  return texts;
}

void TextEncoder::Tokens(const std::string& text, std::vector<std::string>& out) const {
  const TermViews& texts = Views(text);
  // Assigned in place: strings kept from an earlier call keep their room.
  out.resize(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) out[i].assign(texts[i]);
}

void TextEncoder::Terms(const std::string& text, std::vector<Term>& out) const {
  TermViews texts;
  Places places;
  Collect(text, texts, places);
  out.clear();
  out.reserve(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    out.push_back({std::string(texts[i]), places[i].first, places[i].second});
  }
}

void TextEncoder::Collect(const std::string& text, TermViews& texts, Places& places) const {
  texts.clear();
  places.clear();
  // Both foldings keep every code point in its place, so the words' places
  // are those of the original text; the segmenter cuts a text in either
  // script as the same Simplified text.
  // Per thread and reused across texts: most texts need no allocation here.
  thread_local std::string normalized;
  thread_local std::string folded;
  const std::string* source = &text;
  if (options_.normalize && FoldText(*source, normalized)) source = &normalized;
  const std::string* unfolded = source;
  if (options_.script && options_.script->Fold(*source, folded)) source = &folded;
  jieba_->TokenizeRanges(*source, options_.search, [&](const std::vector<jieba::WordRange>& words) {
    // With bigrams, about one more term per Han character (three bytes
    // each); with characters, one more again.
    const size_t expected = words.size() + (options_.bigrams ? unfolded->size() / 3 : 0) +
                            (options_.characters ? unfolded->size() / 3 : 0);
    texts.reserve(expected);
    places.reserve(expected);
    for (const jieba::WordRange& word : words) {
      const jieba::ByteSpan bytes = word.Bytes();
      const uint32_t begin = word.left->rune_offset;
      EmitWord(std::string_view(*source).substr(bytes.offset, bytes.length), begin,
               word.right->rune_offset + word.right->rune_length - begin, word.dictionary, texts,
               places);
    }
  });
  // The bigrams and characters keep the text's own script: the folded words
  // let either script find the other, these rank a query's own script first.
  if (!options_.characters) {
    if (options_.bigrams) EmitBigrams<false>(*unfolded, {}, texts, places);
    return;
  }
  // What the words' terms say of each code point (see kKept).
  thread_local std::vector<uint8_t> kept;
  kept.clear();
  for (const auto& [begin, end] : places) {
    if (kept.size() < end) kept.resize(end, 0);
    for (uint32_t k = begin; k < end; ++k) kept[k] |= kKept;
    if (end - begin == 2) kept[begin] |= kPairStarts;
  }
  EmitBigrams<true>(*unfolded, kept, texts, places);
}

template <bool kCharacters>
void TextEncoder::EmitBigrams(std::string_view text, const std::vector<uint8_t>& kept,
                              TermViews& texts, Places& places) const {
  // The previous code point's byte offset when it is Han, else npos.
  size_t previous = std::string_view::npos;
  bool previous_stop = false;  // the previous character is a stop word
  bool previous_starts_stop = false;  // and it may start a two-character one
  uint8_t before = 0;  // the previous character's entry of kept
  uint32_t index = 0;
  for (size_t i = 0, n = 0; i < text.size(); i += n == 0 ? 1 : n, ++index) {
    const uint32_t cp = DecodeUtf8(text, i, n);
    if (n == 0 || !IsHan(cp)) {
      previous = std::string_view::npos;
      continue;
    }
    const bool bmp = cp < 0x10000;
    const bool stop = bmp ? (stop_chars_[cp / 64] >> (cp % 64) & 1) != 0
                          : IsStopWord(text.substr(i, n));
    const uint8_t here = kCharacters && index < kept.size() ? kept[index] : 0;
    // Two Han characters always hold a letter; a pair of stop words (的了)
    // or a stop word itself (我们) says nothing. With characters, neither
    // does a pair that reaches into a stop word (者应 of 患者应该), nor one
    // that a two-character term gives at its place already (the word, or in
    // the other script its folded form): the characters match there.
    const bool wanted = !(stop && previous_stop) &&
                        (!kCharacters || ((before & kKept) != 0 && (here & kKept) != 0 &&
                                          (before & kPairStarts) == 0));
    if (options_.bigrams && previous != std::string_view::npos && wanted) {
      const std::string_view pair = text.substr(previous, i + n - previous);
      if (!previous_starts_stop || !IsStopWord(pair)) {
        texts.emplace_back(pair);
        places.emplace_back(index - 1, index + 1);
      }
    }
    if (kCharacters && (here & kKept) != 0 && !stop) {
      texts.emplace_back(text.substr(i, n));
      places.emplace_back(index, index + 1);
    }
    before = here;
    previous = i;
    previous_stop = stop;
    previous_starts_stop = !bmp || (stop_pair_starts_[cp / 64] >> (cp % 64) & 1) != 0;
  }
}

void TextEncoder::Emit(std::string_view text, uint32_t begin, uint32_t end, TermViews& texts,
                       Places& places) const {
  if (!HasTermChar(text) || IsStopWord(text)) return;
  texts.push_back(text);
  places.emplace_back(begin, end);
}

void TextEncoder::EmitWord(std::string_view text, uint32_t begin, uint32_t rune_length,
                           bool dictionary_word, TermViews& texts, Places& places) const {
  // The words the segmenter took from the dictionary (search mode's inner
  // words among them) need no look-up.
  if (!options_.unknown_words || dictionary_word || rune_length < 2) {
    Emit(text, begin, begin + rune_length, texts, places);
    return;
  }
  jieba::RuneStrArray runes;
  bool han = false;
  for (size_t i = 0, n = 0; i < text.size(); i += n) {
    const uint32_t cp = DecodeUtf8(text, i, n);
    if (n == 0) break;
    runes.push_back(jieba::RuneStr(cp, static_cast<uint32_t>(i), static_cast<uint32_t>(n),
                                   static_cast<uint32_t>(runes.size()), 1));
    han = IsHan(cp) || han;
  }
  const size_t length = runes.size();
  const jieba::DictTrie& dictionary = jieba_->Dictionary();
  if (!han || length != rune_length || dictionary.Find(runes.begin(), runes.end()) != nullptr) {
    Emit(text, begin, begin + rune_length, texts, places);
    return;
  }
  size_t stem = length;
  while (stem > 1 && IsSentenceParticle(runes[stem - 1].rune)) --stem;
  auto start = [&](size_t k) { return k < length ? runes[k].byte_offset : text.size(); };
  auto piece = [&](size_t from, size_t to) {
    Emit(text.substr(start(from), start(to) - start(from)), begin + static_cast<uint32_t>(from),
         begin + static_cast<uint32_t>(to), texts, places);
  };
  if (options_.search) {
    // Search mode put the dictionary words inside this one right before it;
    // the two-character ones come again among its bigrams.
    size_t kept = places.size();
    while (kept > 0 && places[kept - 1].first >= begin) --kept;
    for (size_t i = kept; i < places.size(); ++i) {
      if (places[i].second - places[i].first == 2) continue;
      texts[kept] = texts[i];
      places[kept++] = places[i];
    }
    texts.resize(kept);
    places.resize(kept);
  }
  if (stem >= 2 &&
      (stem == length || dictionary.Find(runes.begin(), runes.begin() + stem) == nullptr)) {
    for (size_t k = 0; k < stem; ++k) {
      piece(k, k + 1);
      if (stem >= 3 && k + 1 < stem) piece(k, k + 2);
    }
  }
  piece(0, stem);
  for (size_t k = stem; k < length; ++k) piece(k, k + 1);
}

std::vector<TextEncoder::TokenList> TextEncoder::TokensMany(const std::vector<std::string>& texts,
                                                            unsigned threads) const {
  std::vector<std::vector<std::string>> tokens(texts.size());
  ParallelFor(texts.size(), threads, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) Tokens(texts[i], tokens[i]);
  });
  return tokens;
}

std::vector<TextEncoder::TokenList> TextEncoder::CountMany(const std::vector<std::string>& texts,
                                                           uint64_t first,
                                                           ParallelCounts& counts) const {
  std::vector<TokenList> tokens(texts.size());
  Count(texts, first, counts, &tokens);
  return tokens;
}

size_t TextEncoder::CountTexts(const std::vector<std::string>& texts, uint64_t first,
                               ParallelCounts& counts) const {
  return Count(texts, first, counts, nullptr);
}

std::vector<size_t> TextEncoder::RunBounds(const std::vector<std::string>& texts,
                                           unsigned threads) {
  size_t bytes = 0;
  for (const std::string& text : texts) bytes += text.size();
  // Runs of consecutive texts of about equal bytes, many per thread, taken
  // in turn by whichever thread is free: texts cut at different speeds
  // would leave a thread with a fixed share idle, and the last run taken
  // bounds how long the others wait at the end.
  constexpr size_t kRunBytes = size_t{8} << 10;
  const size_t runs = threads <= 1 || texts.size() <= 1
                          ? 1
                          : std::min(texts.size(), std::max<size_t>(threads * size_t{8},
                                                                    bytes / kRunBytes));
  // Run r starts at the first text after r / runs of the bytes.
  std::vector<size_t> bounds(runs + 1, texts.size());
  bounds[0] = 0;
  size_t run = 1;
  size_t before = 0;
  for (size_t i = 0; i < texts.size() && run < runs; ++i) {
    while (run < runs && before >= bytes / runs * run) bounds[run++] = i;
    before += texts[i].size();
  }
  return bounds;
}

size_t TextEncoder::Count(const std::vector<std::string>& texts, uint64_t first,
                          ParallelCounts& counts, std::vector<TokenList>* keep) const {
  // No more threads than texts; the parts beyond stay as they are.
  const size_t parts = std::min(counts.parts(), std::max<size_t>(1, texts.size()));
  // Each thread still sees its documents in order, as its part needs.
  const std::vector<size_t> bounds = RunBounds(texts, static_cast<unsigned>(parts));
  const size_t runs = bounds.size() - 1;
  std::atomic<size_t> next{0};
  std::atomic<size_t> documents{0};
  ParallelFor(parts, static_cast<unsigned>(parts), [&](size_t begin, size_t end) {
    size_t counted = 0;
    for (size_t c = begin; c < end; ++c) {
      for (size_t r = next++; r < runs; r = next++) {
        for (size_t i = bounds[r]; i < bounds[r + 1]; ++i) {
          const TermViews& tokens = Views(texts[i]);
          counts.Add(c, first + i, tokens);
          if (keep) (*keep)[i].assign(tokens.begin(), tokens.end());
          counted += tokens.empty() ? 0 : 1;
        }
      }
    }
    documents += counted;
  });
  return documents;
}

BM25::Documents<std::string_view> TextEncoder::Views(const std::vector<TokenList>& tokens) {
  BM25::Documents<std::string_view> views;
  size_t total = 0;
  for (const TokenList& list : tokens) total += list.size();
  views.tokens.reserve(total);
  views.bounds.reserve(tokens.size() + 1);
  for (const TokenList& list : tokens) {
    views.tokens.insert(views.tokens.end(), list.begin(), list.end());
    views.end_document();
  }
  return views;
}

std::vector<BM25::Weights> TextEncoder::WeighDocuments(const std::vector<TokenList>& tokens,
                                                       unsigned threads) const {
  return model_->weigh_documents(Views(tokens), threads);
}

std::vector<BM25::Weights> TextEncoder::WeighQueries(const std::vector<TokenList>& tokens,
                                                     unsigned threads) const {
  return model_->weigh_queries(Views(tokens), threads);
}

void TextEncoder::AppendIdRows(const std::vector<TokenList>& tokens,
                               const std::vector<BM25::Weights>& weights, IdRows& out) {
  std::vector<IdWeight> entries;
  for (size_t i = 0; i < weights.size(); ++i) {
    entries.clear();
    for (const BM25::Weight& weight : weights[i]) {
      entries.emplace_back(TokenId(tokens[i][weight.first]), weight.value);
    }
    out.Append(entries);
  }
}

namespace {

// Appends one document to `out`; `order` is scratch.
template <class Token>
void AppendDocumentCounts(const std::vector<Token>& document, std::vector<uint64_t>& order,
                          TextEncoder::TokenCounts& out) {
  // Each token as its id above its place: sorting plain integers groups the
  // tokens by id far faster than comparing their bytes.
  order.clear();
  for (size_t t = 0; t < document.size(); ++t) {
    order.push_back(uint64_t{TokenId(document[t])} << 32 | t);
  }
  std::sort(order.begin(), order.end());
  const auto token = [&document](uint64_t entry) -> std::string_view {
    return document[static_cast<uint32_t>(entry)];
  };
  for (size_t i = 0; i < order.size();) {
    const uint32_t id = static_cast<uint32_t>(order[i] >> 32);
    size_t j = i + 1;
    bool one_token = true;
    for (; j < order.size() && static_cast<uint32_t>(order[j] >> 32) == id; ++j) {
      one_token = one_token && token(order[j]) == token(order[i]);
    }
    if (!one_token) {
      // Tokens sharing an id are added in byte order, the order of the
      // model's weights, as AppendIdRows adds them.
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(i),
                order.begin() + static_cast<std::ptrdiff_t>(j),
                [&token](uint64_t a, uint64_t b) { return token(a) < token(b); });
    }
    for (size_t k = i; k < j;) {
      size_t m = k + 1;
      while (m < j && token(order[m]) == token(order[k])) ++m;
      out.ids.push_back(id);
      out.counts.push_back(static_cast<BM25::Count>(m - k));
      k = m;
    }
    i = j;
  }
  out.lengths.push_back(document.size());
  out.bounds.push_back(out.ids.size());
}

// Room for `more` items beyond the size, growing geometrically.
template <typename T>
void Grow(std::vector<T>& values, size_t more) {
  if (values.capacity() - values.size() < more) {
    values.reserve(std::max(values.size() + more, 2 * values.capacity()));
  }
}

}  // namespace

void TextEncoder::AppendCounts(const std::vector<TokenList>& tokens, TokenCounts& out) {
  std::vector<uint64_t> order;
  for (const TokenList& document : tokens) AppendDocumentCounts(document, order, out);
}

std::vector<TextEncoder::TokenCounts> TextEncoder::CountDocuments(
    const std::vector<std::string>& texts, unsigned threads) const {
  const std::vector<size_t> bounds = RunBounds(texts, threads);
  const size_t runs = bounds.size() - 1;
  std::vector<TokenCounts> counts(runs);
  std::atomic<size_t> next{0};
  ParallelFor(std::min<size_t>(threads, runs), threads, [&](size_t, size_t) {
    std::vector<uint64_t> order;
    for (size_t r = next++; r < runs; r = next++) {
      for (size_t i = bounds[r]; i < bounds[r + 1]; ++i) {
        AppendDocumentCounts(Views(texts[i]), order, counts[r]);
      }
    }
  });
  return counts;
}

void TextEncoder::AppendCountRows(const BM25& model, const TokenCounts& counts, IdRows& out) {
  Grow(out.indices, counts.ids.size());
  Grow(out.data, counts.ids.size());
  Grow(out.indptr, counts.lengths.size());
  for (size_t i = 0; i < counts.lengths.size(); ++i) {
    if (counts.lengths[i] != 0) {
      const double norm = model.document_norm(counts.lengths[i]);
      for (size_t k = counts.bounds[i]; k < counts.bounds[i + 1];) {
        const uint32_t id = counts.ids[k];
        double weight = BM25::document_weight(static_cast<double>(counts.counts[k]), norm);
        for (++k; k < counts.bounds[i + 1] && counts.ids[k] == id; ++k) {
          weight += BM25::document_weight(static_cast<double>(counts.counts[k]), norm);
        }
        out.indices.push_back(id);
        out.data.push_back(static_cast<float>(weight));
      }
    }
    out.indptr.push_back(static_cast<int64_t>(out.indices.size()));
  }
}

IdRows TextEncoder::CountRows(const BM25& model, const TokenCounts& counts) {
  IdRows rows;
  AppendCountRows(model, counts, rows);
  return rows;
}

size_t TextEncoder::TrainTokens(BM25& target, const std::vector<TokenList>& tokens) {
  size_t added = 0;
  std::vector<std::string_view> views;
  for (const TokenList& document : tokens) {
    if (document.empty()) continue;
    views.assign(document.begin(), document.end());
    target.train_tokens(views);
    ++added;
  }
  return added;
}

}  // namespace mira::typing::text
