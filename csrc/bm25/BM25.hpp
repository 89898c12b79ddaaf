// BM25 sparse encoder: corpus statistics gathered one document at a time,
// documents encoded as saturated, length-normalised term frequencies and
// queries as inverse document frequencies normalised to sum 1.
//
// The inverse document frequency counts, per token, either its occurrences
// (Idf::kOccurrences, the classic model and file) or the documents that hold
// it (Idf::kDocuments): the model then keeps a second table, and since no
// token is in more documents than there are, no query weight is negative.
//
// Tokens are byte strings or signed 64-bit ids; an id shares its table entry
// with the string of its decimal text ("42" and 42 are one token).
//
// Thread safety: no internal locking. The const operations may run
// concurrently with each other; train, train_many, merge, load and set_state
// must run alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bm25/TokenTable.hpp"
#include "common/Span.hpp"

namespace mira::typing::text {

class BM25 {
 public:
  // Counts are 64-bit so that large corpora cannot wrap them.
  using Count = int64_t;
  using FrequencyTable = TokenTable;

  enum class Idf { kOccurrences, kDocuments };

  // Everything that defines a model, including the running length total
  // that the model file does not keep; used to copy a model exactly.
  struct State {
    double b = 0.75;
    double k1 = 1.2;
    Count doc_count = 0;
    Count doc_length_total = 0;
    double doc_length_average = 0.0;
    FrequencyTable doc_token_frequency;
    Idf idf = Idf::kOccurrences;
    // Documents per token; empty unless idf is kDocuments.
    FrequencyTable doc_token_documents;
  };

  // Documents laid end to end: document i is tokens[bounds[i], bounds[i + 1]).
  // Invariant: bounds starts with 0 and never decreases.
  template <typename Token>
  struct Documents {
    std::vector<Token> tokens;
    std::vector<std::size_t> bounds{0};

    std::size_t size() const { return bounds.size() - 1; }
    Span<Token> operator[](std::size_t i) const {
      return Span<Token>(tokens.data() + bounds[i], bounds[i + 1] - bounds[i]);
    }
    // Appends one document.
    void add(Span<Token> document) {
      tokens.insert(tokens.end(), document.begin(), document.end());
      end_document();
    }
    // Closes the document made of the tokens appended since the last close.
    void end_document() { bounds.push_back(tokens.size()); }
  };

  // One entry of an encoded vector: the position of the token's first
  // occurrence in the input, and its weight.
  struct Weight {
    std::size_t first;
    double value;
  };
  // One entry per distinct token, in ascending token order (byte order for
  // strings, numeric order for ids): the order of the std::map results.
  using Weights = std::vector<Weight>;

  explicit BM25(double b = 0.75, double k1 = 1.2, Idf idf = Idf::kOccurrences);

  // Adds one document. Throws std::runtime_error on an empty document and
  // std::overflow_error when a count would leave the 64-bit range; a failed
  // call leaves the model unchanged.
  void train(const std::vector<std::string>& tokens);
  void train(const std::vector<int64_t>& tokens);
  // Adds each non-empty inner document in order. Throws on an empty outer
  // list; a failed call leaves the model unchanged.
  void train(const std::vector<std::vector<int64_t>>& tokens_vec);

  // Token to tf / (norm + tf). Empty input gives an empty map; otherwise
  // throws std::runtime_error unless the model is trained.
  std::map<std::string, double> encode_document(const std::vector<std::string>& tokens) const;
  std::map<int64_t, double> encode_document(const std::vector<int64_t>& tokens) const;

  // Token to idf, normalised to sum 1. Same empty/readiness rules as above.
  std::map<std::string, double> encode_query(const std::vector<std::string>& tokens) const;
  std::map<int64_t, double> encode_query(const std::vector<int64_t>& tokens) const;

  // The same operations over token views, without copying the tokens; the
  // results and errors are those of the vector overloads above. A failed
  // train_tokens leaves the model unchanged.
  void train_tokens(Span<std::string_view> tokens);
  void train_tokens(Span<int64_t> tokens);
  Weights weigh_document(Span<std::string_view> tokens) const;
  Weights weigh_document(Span<int64_t> tokens) const;
  Weights weigh_query(Span<std::string_view> tokens) const;
  Weights weigh_query(Span<int64_t> tokens) const;

  // Called by a long batch on the calling thread between rounds of work (a
  // few hundred thousand tokens each); an exception it throws ends the batch
  // as any failure does. Lets a caller stop a batch, e.g. on Ctrl-C.
  using Checkpoint = std::function<void()>;

  // Batches on up to `threads` threads (the calling thread included); the
  // results never depend on the thread count. train_many trains the
  // non-empty documents in order, like the list-of-documents train (an
  // empty batch throws its message); on any failure the model is unchanged.
  void train_many(const Documents<std::string_view>& documents, unsigned threads,
                  const Checkpoint& checkpoint = nullptr);
  void train_many(const Documents<int64_t>& documents, unsigned threads,
                  const Checkpoint& checkpoint = nullptr);
  // Element i is weigh_document / weigh_query of document i.
  std::vector<Weights> weigh_documents(const Documents<std::string_view>& documents,
                                       unsigned threads,
                                       const Checkpoint& checkpoint = nullptr) const;
  std::vector<Weights> weigh_documents(const Documents<int64_t>& documents, unsigned threads,
                                       const Checkpoint& checkpoint = nullptr) const;
  std::vector<Weights> weigh_queries(const Documents<std::string_view>& queries,
                                     unsigned threads,
                                     const Checkpoint& checkpoint = nullptr) const;
  std::vector<Weights> weigh_queries(const Documents<int64_t>& queries, unsigned threads,
                                     const Checkpoint& checkpoint = nullptr) const;

  // Adds other's document count, length total and token counts, as if its
  // documents had been trained here after this model's own; other may be
  // this model. A model that holds nothing yet takes other's idf; otherwise
  // throws std::invalid_argument when b, k1 or the idf differ, and
  // std::overflow_error when a count would leave the 64-bit range; on any
  // failure neither model changes.
  void merge(const BM25& other);

  // ln((doc_count + 1) / (count + 0.5)), or ln((doc_count + 1) / 1.5) for an
  // unseen token. count is the token's occurrences, or with Idf::kDocuments
  // the documents holding it (at most doc_count, so the result is positive).
  double idf(std::string_view token) const;

  // The two parts of a document weight: the length normalisation of a
  // document of `length` tokens (throws std::runtime_error unless the model
  // is trained), and the weight of a token occurring `tf` times in it.
  double document_norm(std::size_t length) const;
  static double document_weight(double tf, double norm) { return tf / (norm + tf); }

  // Writes the model file; the target is replaced only after a complete write.
  // With Idf::kDocuments the file also holds the document counts and the
  // length total.
  void dump(const std::string& path) const;
  // Restores from model-file text; all-or-nothing (merges the token tables).
  // Like b and k1, the idf comes from the file: kDocuments when it holds
  // document counts, else kOccurrences (and the document counts are dropped).
  // The length total is the file's, or for a file without one the nearest
  // integer of average x count, so that training and merging go on from it.
  void load(const std::string& text);

  State state() const;
  // The counts must not be negative (load and unpickling refuse them).
  void set_state(State state);

  double b() const { return _b; }
  double k1() const { return _k1; }
  Count doc_count() const { return _doc_count; }
  Count doc_length_total() const { return _doc_length_total; }
  double doc_length_average() const { return _doc_length_average; }
  const FrequencyTable& doc_token_frequency() const { return _doc_token_frequency; }
  Idf idf_mode() const { return _idf_mode; }
  const FrequencyTable& doc_token_documents() const { return _doc_token_documents; }

  template <typename Token>
  static std::unordered_map<Token, Count> _token_frequency(const std::vector<Token>& tokens);

 private:
  template <typename Token>
  void _train_many(const Documents<Token>& documents, unsigned threads,
                   const Checkpoint& checkpoint);
  // train_many without rounds.
  template <typename Token>
  void _train_batch(const Documents<Token>& documents, unsigned threads);
  template <typename Token>
  Weights _weigh_document(Span<Token> tokens) const;
  template <typename Token>
  Weights _weigh_query(Span<Token> tokens) const;
  template <typename Token>
  std::vector<Weights> _weigh_each(const Documents<Token>& documents, unsigned threads,
                                   bool queries, const Checkpoint& checkpoint) const;
  template <typename Token>
  void _train_one(Span<Token> tokens);
  void check_initialized() const;

  double _b;
  double _k1;
  Count _doc_count = 0;
  Count _doc_length_total = 0;
  double _doc_length_average = 0.0;
  FrequencyTable _doc_token_frequency;
  Idf _idf_mode;
  FrequencyTable _doc_token_documents;
};

template <typename Token>
std::unordered_map<Token, BM25::Count> BM25::_token_frequency(const std::vector<Token>& tokens) {
  std::unordered_map<Token, Count> counts;
  for (const Token& token : tokens) ++counts[token];
  return counts;
}

}  // namespace mira::typing::text
