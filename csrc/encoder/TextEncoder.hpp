// The whole text-to-vector path: segment, keep the words that hold a letter
// or a digit, drop stop words, then train or encode a BM25 model.
//
// Holds the segmenter and the model through shared pointers, so either may
// also be used elsewhere. The encoder itself is immutable after construction.
//
// Thread safety: Tokens and TokensMany only read the segmenter and may run
// concurrently from any threads. Encode* read the model and Train
// writes it: like BM25's own operations, nobody may train or load the model
// while they run.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "bm25/BM25.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace mira::typing::text {

class TextEncoder {
 public:
  using TokenList = std::vector<std::string>;
  using Vector = std::map<std::string, double>;

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
  // The words dropped as stop words; empty when options().stop_words is false.
  const std::unordered_set<std::string>& stop_words() const { return stop_words_; }

  // The index terms of text, in segmentation order, into out (cleared first).
  void Tokens(const std::string& text, TokenList& out) const;
  // Tokens of each text, in input order, cut on up to `threads` threads.
  std::vector<TokenList> TokensMany(const std::vector<std::string>& texts, unsigned threads) const;

  // Encoding of each token list, in order, on up to `threads` threads. A list
  // with no tokens gives an empty vector; any other list on an untrained
  // model throws the model's std::runtime_error.
  std::vector<Vector> EncodeDocumentTokens(const std::vector<TokenList>& tokens,
                                           unsigned threads) const;
  std::vector<Vector> EncodeQueryTokens(const std::vector<TokenList>& tokens,
                                        unsigned threads) const;

  // TokensMany followed by the matching Encode*Tokens.
  std::vector<Vector> EncodeDocuments(const std::vector<std::string>& texts,
                                      unsigned threads) const;
  std::vector<Vector> EncodeQueries(const std::vector<std::string>& texts,
                                    unsigned threads) const;

  // Trains `target` on each token list in order, skipping empty ones; returns
  // the number of documents added. Stops at the first failure (overflow),
  // with the documents before it trained.
  static size_t TrainTokens(BM25& target, const std::vector<TokenList>& tokens);

 private:
  std::shared_ptr<const jieba::Jieba> jieba_;
  std::shared_ptr<BM25> model_;
  Options options_;
  std::unordered_set<std::string> stop_words_;
};

}  // namespace mira::typing::text
