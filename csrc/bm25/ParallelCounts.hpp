// Training one BM25 model on several threads: each thread counts its
// documents into a part of its own, and the parts are combined once at the
// end into the model that training every document in turn gives (the same
// counts, and the tokens in the same first-occurrence order, so that model
// files and pickles do not depend on the thread count).
//
// Counting needs one table look-up per token, and no pass over every token
// runs on one thread alone. Combining runs on one thread per part: each part
// looks its distinct tokens up in the others to find the ones it holds
// first, then the tables are built from them at once; only ordering them
// (a merge by first document) is left to one thread.
//
// Thread safety: Add on different parts may run at once; nothing else may
// run beside any other call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/BM25.hpp"
#include "bm25/TokenTable.hpp"

namespace mira::typing::text {

class ParallelCounts {
 public:
  // Parts for a model with the parameters and idf kind of `like` (whose
  // statistics are not used).
  ParallelCounts(const BM25& like, unsigned parts);

  std::size_t parts() const { return parts_.size(); }

  // Counts one document into `part`. `document` places it among all
  // documents: each part must be given increasing numbers, and no two parts
  // the same one. An empty document counts as none. After a failure
  // (exhausted memory) the counts are unusable.
  void Add(std::size_t part, uint64_t document, const std::vector<std::string>& tokens);
  void Add(std::size_t part, uint64_t document, const std::vector<std::string_view>& tokens);

  // The documents counted so far as one model, as training them in the
  // order of their numbers gives; the parts are spent afterwards.
  BM25 Combine();

 private:
  template <class Token>
  void AddTokens(std::size_t part, uint64_t document, const std::vector<Token>& tokens);

  // With Idf::kDocuments, of each token: the documents that held it and the
  // last of them.
  struct Held {
    uint64_t last;
    BM25::Count documents;
  };
  // Aligned so that two threads' parts share no cache line.
  struct alignas(64) Part {
    TokenTable index;             // token to its occurrences
    std::vector<uint64_t> first;  // the document that first held entry i
    std::vector<Held> held;       // with Idf::kDocuments only
    BM25::Count doc_count = 0;
    BM25::Count doc_length_total = 0;
    // While combining: the totals over all parts of the entries this part
    // holds first, and 0 for the others.
    std::vector<BM25::Count> occurrences;
    std::vector<BM25::Count> documents;
  };

  // Fills each part's totals, one thread per part.
  void Total(const std::vector<Part*>& parts);

  double b_;
  double k1_;
  BM25::Idf idf_;
  std::vector<Part> parts_;
};

}  // namespace mira::typing::text
