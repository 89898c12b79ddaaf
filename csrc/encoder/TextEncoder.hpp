// The whole text-to-vector path: segment, keep the words that hold a letter
// or a digit, drop stop words, then train or encode a BM25 model.
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
#include <vector>

#include "bm25/BM25.hpp"
#include "bm25/TokenId.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace mira::typing::text {

class TextEncoder {
 public:
  using TokenList = std::vector<std::string>;

  struct Options {
    bool search = false;     // cut_for_search instead of cut
    bool stop_words = true;  // drop the segmenter's stop words
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
  const std::unordered_set<std::string>& stop_words() const { return stop_words_; }

  // The index terms of text, in segmentation order, into out (cleared first).
  void Tokens(const std::string& text, TokenList& out) const;
  // Tokens of each text, in input order, cut on up to `threads` threads.
  std::vector<TokenList> TokensMany(const std::vector<std::string>& texts, unsigned threads) const;

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
  // length, and its distinct tokens in token order as (TokenId, count).
  // Document i has entries [bounds[i], bounds[i + 1]).
  struct TokenCounts {
    std::vector<size_t> lengths;
    std::vector<size_t> bounds{0};
    std::vector<uint32_t> ids;
    std::vector<BM25::Count> counts;
  };
  static void AppendCounts(const std::vector<TokenList>& tokens, TokenCounts& out);
  // The rows AppendIdRows gives for these documents' weights under `model`.
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
  std::unordered_set<std::string> stop_words_;
};

}  // namespace mira::typing::text
