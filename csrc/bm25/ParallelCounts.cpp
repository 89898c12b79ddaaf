#include "bm25/ParallelCounts.hpp"

#include <algorithm>
#include <utility>

namespace mira::typing::text {

ParallelCounts::ParallelCounts(const BM25& like, unsigned parts)
    : b_(like.b()), k1_(like.k1()), idf_(like.idf_mode()), parts_(std::max(1u, parts)) {}

void ParallelCounts::Add(std::size_t p, uint64_t document, const std::vector<std::string>& tokens) {
  if (tokens.empty()) return;
  Part& part = parts_[p];
  const bool documents = idf_ == BM25::Idf::kDocuments;
  // The slots of a block of tokens are prefetched before the look-ups, so
  // that the cache misses of a large table overlap instead of queueing.
  constexpr std::size_t kBlock = 16;
  uint64_t hashes[kBlock];
  for (std::size_t done = 0; done < tokens.size();) {
    const std::size_t block = std::min(kBlock, tokens.size() - done);
    for (std::size_t i = 0; i < block; ++i) {
      hashes[i] = HashToken(tokens[done + i]);
      part.index.prefetch_slot(hashes[i]);
    }
    for (std::size_t i = 0; i < block; ++i, ++done) {
      BM25::Count& place = part.index.slot(tokens[done], hashes[i]);
      if (place == 0) {
        part.occurrences.push_back(1);
        part.first.push_back(document);
        if (documents) {
          part.documents.push_back(1);
          part.last.push_back(document);
        }
        place = static_cast<BM25::Count>(part.occurrences.size());
        continue;
      }
      const auto at = static_cast<std::size_t>(place - 1);
      ++part.occurrences[at];
      if (documents && part.last[at] != document) {
        part.last[at] = document;
        ++part.documents[at];
      }
    }
  }
  ++part.doc_count;
  part.doc_length_total += static_cast<BM25::Count>(tokens.size());
}

BM25 ParallelCounts::Combine() {
  BM25::State state;
  state.b = b_;
  state.k1 = k1_;
  state.idf = idf_;
  const bool documents = idf_ == BM25::Idf::kDocuments;
  std::size_t most = 0;
  for (const Part& part : parts_) {
    state.doc_count += part.doc_count;
    state.doc_length_total += part.doc_length_total;
    most = std::max(most, part.occurrences.size());
  }
  if (state.doc_count > 0) {
    state.doc_length_average =
        static_cast<double>(state.doc_length_total) / static_cast<double>(state.doc_count);
  }
  state.doc_token_frequency.reserve(most);
  if (documents) state.doc_token_documents.reserve(most);
  // Each part holds its tokens in order of first occurrence, and a document
  // is in one part only: taking the entry whose first document comes first
  // inserts every token where training in turn would have.
  std::vector<std::size_t> next(parts_.size(), 0);
  for (;;) {
    std::size_t from = parts_.size();
    for (std::size_t p = 0; p < parts_.size(); ++p) {
      if (next[p] == parts_[p].first.size()) continue;
      if (from == parts_.size() || parts_[p].first[next[p]] < parts_[from].first[next[from]]) {
        from = p;
      }
    }
    if (from == parts_.size()) break;
    const Part& part = parts_[from];
    const std::size_t i = next[from]++;
    const std::string& token = (part.index.begin() + static_cast<std::ptrdiff_t>(i))->first;
    const uint64_t hash = part.index.hash_at(i);
    state.doc_token_frequency.slot(token, hash) += part.occurrences[i];
    if (documents) state.doc_token_documents.slot(token, hash) += part.documents[i];
  }
  parts_.assign(parts_.size(), Part());
  BM25 model(b_, k1_, idf_);
  model.set_state(std::move(state));
  return model;
}

}  // namespace mira::typing::text
