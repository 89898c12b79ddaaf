// The whole text-to-vector path: segment, keep the words that hold a letter
// or a digit, drop stop words, then train or encode a BM25 model.
//
// Options make the index terms sturdier than the words of one cut: letters
// folded (case and width), the text folded into one script, and a word the
// dictionary lacks also given as its characters and character bigrams (the
// segmenter groups such words by context, so one name may be cut one way in
// a query and another in a document).
//
// Holds the segmenter and the model through shared pointers, so either may
// also be used elsewhere. The encoder itself is immutable after construction.
//
// Thread safety: Tokens and TokensMany only read the segmenter and may run
// concurrently from any threads. Weigh* read the model: like BM25's own const
// operations, nobody may train or load the model while they run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "bm25/ParallelCounts.hpp"
#include "bm25/TokenId.hpp"
#include "bm25/TokenTable.hpp"
#include "common/Utf8.hpp"
#include "encoder/ScriptTable.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace mira::typing::text {

class TextEncoder {
 public:
  using TokenList = std::vector<std::string>;

  // An index term and the code points of the text it comes from, [begin, end).
  struct Term {
    std::string text;
    uint32_t begin;
    uint32_t end;
  };

  struct Options {
    // {search, stop_words}: the plain cut filters, the rest off.
    Options(bool search = false, bool stop_words = true)  // NOLINT: brace-initialised
        : search(search), stop_words(stop_words) {}

    bool search = false;     // cut_for_search instead of cut
    bool stop_words = true;  // drop the segmenter's stop words
    // A word of two or more characters, one of them Han, that the dictionary
    // does not hold also gives its characters and (from three characters on)
    // its character bigrams, before the word itself; sentence-final particles
    // (吗, 呢, 吧 ...) at its end are split off first.
    bool unknown_words = false;
    bool normalize = false;  // fold letters and digits (case, width) before cutting
    // When set, the text is folded by this table (Traditional to Simplified)
    // before cutting, after normalize.
    std::shared_ptr<const ScriptTable> script;
    // The overlapping character bigrams of every run of two or more Han
    // characters are index terms too, after the words: a query and a
    // document cut differently still share them. They are taken from the
    // text before script folding (after normalize).
    bool bigrams = false;
    // Each Han character of a word kept (not of a stop word), unless it is
    // a stop word alone, is an index term too, with the bigrams and in the
    // same script: a query and a document that share no word or bigram
    // (胃痛, 胃疼) still share characters. The bigrams then leave out a pair
    // that reaches into a stop word and one at the place of a two-character
    // term of the words (which, with its characters, matches there).
    bool characters = false;
  };

  // Throws std::invalid_argument when jieba or model is null.
  TextEncoder(std::shared_ptr<const jieba::Jieba> jieba, std::shared_ptr<BM25> model,
              Options options);

  const std::shared_ptr<const jieba::Jieba>& jieba() const { return jieba_; }
  const std::shared_ptr<BM25>& model() const { return model_; }
  const Options& options() const { return options_; }
  // The words dropped as stop words: the lines of the segmenter's stop-word
  // file as a text reader sees them (ending at "\n", "\r\n" or "\r"; an
  // empty line names no word). Empty when options().stop_words is false.
  std::unordered_set<std::string> stop_words() const;

  // The index terms of text, in segmentation order, into out (cleared first).
  void Tokens(const std::string& text, TokenList& out) const;
  // The same terms with the places they come from, into out (cleared first).
  void Terms(const std::string& text, std::vector<Term>& out) const;
  // Tokens of each text, in input order, cut on up to `threads` threads.
  std::vector<TokenList> TokensMany(const std::vector<std::string>& texts, unsigned threads) const;
  // Tokens of each text as TokensMany gives them, each also counted as
  // document `first` + its index: one thread per part of `counts`, each
  // cutting runs of consecutive texts and counting them into its part.
  std::vector<TokenList> CountMany(const std::vector<std::string>& texts, uint64_t first,
                                   ParallelCounts& counts) const;
  // Counts as CountMany does, keeping no tokens; returns the number of
  // texts that gave tokens.
  size_t CountTexts(const std::vector<std::string>& texts, uint64_t first,
                    ParallelCounts& counts) const;

  // The token lists as views, one document per list; valid while `tokens` lives.
  static BM25::Documents<std::string_view> Views(const std::vector<TokenList>& tokens);

  // The model's weights of each token list, in order, computed on up to
  // `threads` threads; entry `first` indexes the list. A list with no tokens
  // gives no weights; any other list on an untrained model throws the
  // model's std::runtime_error.
  std::vector<BM25::Weights> WeighDocuments(const std::vector<TokenList>& tokens,
                                            unsigned threads) const;
  std::vector<BM25::Weights> WeighQueries(const std::vector<TokenList>& tokens,
                                          unsigned threads) const;

  // What weighing a document needs, kept so that it is not cut again: its
  // length, and its distinct tokens as (TokenId, count), by id and, for
  // tokens sharing an id, in byte order (the order their weights are added
  // in). Document i has entries [bounds[i], bounds[i + 1]).
  struct TokenCounts {
    std::vector<size_t> lengths;
    std::vector<size_t> bounds{0};
    std::vector<uint32_t> ids;
    std::vector<BM25::Count> counts;
  };
  static void AppendCounts(const std::vector<TokenList>& tokens, TokenCounts& out);
  // The counts of each text's tokens, in input order, cut and counted on up
  // to `threads` threads: the texts' counts laid end to end in the parts.
  std::vector<TokenCounts> CountDocuments(const std::vector<std::string>& texts,
                                          unsigned threads) const;
  // The rows AppendIdRows gives for these documents' weights under `model`,
  // appended to `out`.
  static void AppendCountRows(const BM25& model, const TokenCounts& counts, IdRows& out);
  static IdRows CountRows(const BM25& model, const TokenCounts& counts);

  // Appends one row per token list to `out`: the list's weights keyed by
  // the TokenId of the token each weight names, so that tokens sharing an id
  // share one dimension whose weight is their sum (as id_vector sums them).
  static void AppendIdRows(const std::vector<TokenList>& tokens,
                           const std::vector<BM25::Weights>& weights, IdRows& out);

  // Trains `target` on each token list in order, skipping empty ones; returns
  // the number of documents added. Throws std::overflow_error when a count
  // would leave the 64-bit range, with the documents before it trained.
  static size_t TrainTokens(BM25& target, const std::vector<TokenList>& tokens);

 private:
  std::shared_ptr<const jieba::Jieba> jieba_;
  std::shared_ptr<BM25> model_;
  Options options_;
  TokenTable stop_words_;  // looked up by view, without building a string key
  // Bit sets over the code points below U+10000: those that are a stop word
  // alone, and those that start a two-character stop word. Bigrams ask them
  // first, so that most pairs need no hash look-up.
  std::vector<uint64_t> stop_chars_;
  std::vector<uint64_t> stop_pair_starts_;
  // One bit per StopBit of every stop word: a term whose bit is clear is no
  // stop word, and most terms are told so without hashing the whole term.
  static constexpr size_t kStopBits = size_t{1} << 16;
  std::vector<uint64_t> stop_filter_;
  // Over the code points of the three-byte UTF-8 sequences (U+0800 to
  // U+FFFF, most Han characters among them): those that are a stop word in
  // that form. Such terms, the commonest, are told without hashing at all.
  std::vector<uint64_t> stop_three_;
  static size_t StopBit(std::string_view text);
  // The code point of text when it is one three-byte sequence, else 0.
  static uint32_t ThreeByteCodePoint(std::string_view text) {
    if (text.size() != 3) return 0;
    size_t n = 0;
    const uint32_t cp = DecodeUtf8(text, 0, n);
    return n == 3 && cp >= 0x800 ? cp : 0;  // below U+0800: an overlong form
  }
  bool IsStopWord(std::string_view text) const {
    if (const uint32_t cp = ThreeByteCodePoint(text)) {
      return (stop_three_[cp / 64] >> (cp % 64) & 1) != 0;
    }
    const size_t bit = StopBit(text);
    return (stop_filter_[bit / 64] >> (bit % 64) & 1) != 0 && stop_words_.count(text) != 0;
  }

  // Each term's [begin, end), beside the list of their texts.
  using Places = std::vector<std::pair<uint32_t, uint32_t>>;
  // Terms as views into the text or into this thread's folding buffers:
  // valid until the thread's next Collect.
  using TermViews = std::vector<std::string_view>;

  // Where the runs of consecutive texts that `threads` threads take in turn
  // begin, and the end: at least one run (some may be empty).
  static std::vector<size_t> RunBounds(const std::vector<std::string>& texts, unsigned threads);
  // CountMany and CountTexts; `keep`, when given, receives the tokens.
  size_t Count(const std::vector<std::string>& texts, uint64_t first, ParallelCounts& counts,
               std::vector<TokenList>* keep) const;
  // The terms of text into texts and places (both cleared first).
  void Collect(const std::string& text, TermViews& texts, Places& places) const;
  // The terms of text as views (see TermViews) into this thread's buffer.
  const TermViews& Views(const std::string& text) const;
  // Appends text as a term unless the filters drop it.
  void Emit(std::string_view text, uint32_t begin, uint32_t end, TermViews& texts,
            Places& places) const;
  // Appends the bigrams of the Han runs of text (see Options::bigrams) and,
  // with kCharacters, its characters (Options::characters), each after the
  // bigram that ends at it; `kept` holds what the words' terms say of each
  // code point (empty without kCharacters).
  template <bool kCharacters>
  void EmitBigrams(std::string_view text, const std::vector<uint8_t>& kept, TermViews& texts,
                   Places& places) const;
  // Appends the terms of one word of the cut (search: of cut_for_search):
  // its bytes, its first code point, its length in code points, and whether
  // the segmenter took it from the dictionary.
  void EmitWord(std::string_view word, uint32_t begin, uint32_t length, bool dictionary_word,
                TermViews& texts, Places& places) const;
};

}  // namespace mira::typing::text
