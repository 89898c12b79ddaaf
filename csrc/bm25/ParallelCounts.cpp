#include "bm25/ParallelCounts.hpp"

#include <algorithm>
#include <utility>

#include "common/Parallel.hpp"

namespace mira::typing::text {
namespace {

// Tokens are hashed and their slots prefetched this many at a time before
// the look-ups, so that the cache misses of a large table overlap instead of
// queueing.
constexpr std::size_t kBlock = 16;

}  // namespace

ParallelCounts::ParallelCounts(const BM25& like, unsigned parts)
    : b_(like.b()), k1_(like.k1()), idf_(like.idf_mode()), parts_(std::max(1u, parts)) {}

void ParallelCounts::Add(std::size_t p, uint64_t document, const std::vector<std::string>& tokens) {
  AddTokens(p, document, tokens);
}

void ParallelCounts::Add(std::size_t p, uint64_t document,
                         const std::vector<std::string_view>& tokens) {
  AddTokens(p, document, tokens);
}

template <class Token>
void ParallelCounts::AddTokens(std::size_t p, uint64_t document, const std::vector<Token>& tokens) {
  if (tokens.empty()) return;
  Part& part = parts_[p];
  const bool documents = idf_ == BM25::Idf::kDocuments;
  uint64_t hashes[kBlock];
  for (std::size_t done = 0; done < tokens.size();) {
    const std::size_t block = std::min(kBlock, tokens.size() - done);
    for (std::size_t i = 0; i < block; ++i) {
      hashes[i] = HashToken(tokens[done + i]);
      part.index.prefetch_slot(hashes[i]);
    }
    for (std::size_t i = 0; i < block; ++i) part.index.prefetch_entry(hashes[i]);
    for (std::size_t i = 0; i < block; ++i, ++done) {
      const std::size_t known = part.index.size();
      const std::size_t at = part.index.position(tokens[done], hashes[i]);
      ++part.index.count_at(at);
      if (at == known) {
        part.first.push_back(document);
        if (documents) part.held.push_back({document, 1});
      } else if (documents && part.held[at].last != document) {
        part.held[at].last = document;
        ++part.held[at].documents;
      }
    }
  }
  ++part.doc_count;
  part.doc_length_total += static_cast<BM25::Count>(tokens.size());
}

void ParallelCounts::Total(const std::vector<Part*>& parts) {
  const bool documents = idf_ == BM25::Idf::kDocuments;
  const std::size_t others = parts.size() - 1;
  // Each thread writes only its own part's totals and reads the others'
  // tables, which nobody changes meanwhile.
  ParallelFor(parts.size(), static_cast<unsigned>(parts.size()), [&](std::size_t begin,
                                                                      std::size_t end) {
    // A block's slots, then entries, then places in the other parts are
    // prefetched in turn before they are read.
    std::vector<std::size_t> found(kBlock * others);
    for (std::size_t p = begin; p < end; ++p) {
      Part& part = *parts[p];
      const std::size_t n = part.index.size();
      part.occurrences.assign(n, 0);
      if (documents) part.documents.assign(n, 0);
      auto other = [&](std::size_t k) -> const Part& { return *parts[k < p ? k : k + 1]; };
      for (std::size_t done = 0; done < n; done += kBlock) {
        const std::size_t block = std::min(kBlock, n - done);
        for (std::size_t k = 0; k < others; ++k) {
          for (std::size_t i = 0; i < block; ++i) {
            other(k).index.prefetch_slot(part.index.hash_at(done + i));
          }
        }
        for (std::size_t k = 0; k < others; ++k) {
          for (std::size_t i = 0; i < block; ++i) {
            other(k).index.prefetch_entry(part.index.hash_at(done + i));
          }
        }
        for (std::size_t k = 0; k < others; ++k) {
          const Part& them = other(k);
          for (std::size_t i = 0; i < block; ++i) {
            const std::size_t j =
                them.index.position(part.index.key_at(done + i), part.index.hash_at(done + i));
            found[k * kBlock + i] = j;
            if (j == TokenTable::npos) continue;
            __builtin_prefetch(&them.first[j]);
            if (documents) __builtin_prefetch(&them.held[j]);
          }
        }
        for (std::size_t i = 0; i < block; ++i) {
          const std::size_t e = done + i;
          BM25::Count occurrences = part.index.count_at(e);
          BM25::Count held = documents ? part.held[e].documents : 0;
          bool first = true;
          for (std::size_t k = 0; k < others && first; ++k) {
            const std::size_t j = found[k * kBlock + i];
            if (j == TokenTable::npos) continue;
            const Part& them = other(k);
            // A document is in one part only, so the first documents differ.
            first = part.first[e] < them.first[j];
            occurrences += them.index.count_at(j);
            if (documents) held += them.held[j].documents;
          }
          if (!first) continue;
          part.occurrences[e] = occurrences;
          if (documents) part.documents[e] = held;
        }
      }
    }
  });
}

BM25 ParallelCounts::Combine() {
  BM25::State state;
  state.b = b_;
  state.k1 = k1_;
  state.idf = idf_;
  const bool documents = idf_ == BM25::Idf::kDocuments;
  std::vector<Part*> holding;  // the parts that counted a document
  for (Part& part : parts_) {
    state.doc_count += part.doc_count;
    state.doc_length_total += part.doc_length_total;
    if (part.doc_count > 0) holding.push_back(&part);
  }
  if (state.doc_count > 0) {
    state.doc_length_average =
        static_cast<double>(state.doc_length_total) / static_cast<double>(state.doc_count);
  }
  const auto threads = static_cast<unsigned>(parts_.size());
  if (holding.size() == 1) {
    // The part's tables are the model's: its tokens in first-occurrence
    // order with their occurrences.
    Part& part = *holding.front();
    if (documents) {
      TokenTable held(part.index);
      for (std::size_t i = 0; i < held.size(); ++i) held.count_at(i) = part.held[i].documents;
      state.doc_token_documents = std::move(held);
    }
    state.doc_token_frequency = std::move(part.index);
  } else if (holding.size() > 1) {
    Total(holding);
    // Each part holds its tokens in order of first occurrence, and a
    // document is in one part only: taking the entry whose first document
    // comes first puts every token where training in turn would have.
    std::size_t most = 0;
    for (const Part* part : holding) most += part->index.size();
    std::vector<std::pair<const Part*, std::size_t>> order;
    order.reserve(most);
    std::vector<std::size_t> next(holding.size(), 0);
    for (;;) {
      std::size_t from = holding.size();
      for (std::size_t p = 0; p < holding.size(); ++p) {
        const Part& part = *holding[p];
        std::size_t& i = next[p];
        while (i < part.occurrences.size() && part.occurrences[i] == 0) ++i;
        if (i == part.occurrences.size()) continue;
        if (from == holding.size() || part.first[i] < holding[from]->first[next[from]]) from = p;
      }
      if (from == holding.size()) break;
      order.emplace_back(holding[from], next[from]++);
    }
    // The entries of either table, and their hashes and index, on threads
    // of their own; most of the time goes to filling fresh memory, so each
    // thread fills its own rather than copying another's.
    std::vector<TokenTable::value_type> frequency;
    std::vector<TokenTable::value_type> held;
    std::vector<uint64_t> hashes;
    std::vector<uint64_t> index;
    std::vector<uint64_t> held_hashes;
    std::vector<uint64_t> held_index;
    auto hashes_of = [&order](std::vector<uint64_t>& out) {
      out.reserve(order.size());
      for (const auto& [part, i] : order) out.push_back(part->index.hash_at(i));
    };
    const std::size_t tasks = documents ? 3 : 2;
    ParallelFor(tasks, threads, [&](std::size_t begin, std::size_t end) {
      for (std::size_t task = begin; task < end; ++task) {
        if (task + 1 == tasks) {
          hashes_of(hashes);
          index = TokenTable::IndexFor(hashes);
          continue;
        }
        std::vector<TokenTable::value_type>& entries = task == 0 ? frequency : held;
        entries.reserve(order.size());
        for (const auto& [part, i] : order) {
          entries.emplace_back(part->index.key_at(i),
                               task == 0 ? part->occurrences[i] : part->documents[i]);
        }
        if (task == 1) {
          hashes_of(held_hashes);
          held_index = TokenTable::IndexFor(held_hashes);
        }
      }
    });
    state.doc_token_frequency = TokenTable(std::move(frequency), std::move(hashes), std::move(index));
    if (documents) {
      state.doc_token_documents =
          TokenTable(std::move(held), std::move(held_hashes), std::move(held_index));
    }
  }
  ParallelFor(parts_.size(), threads, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) parts_[p] = Part();
  });
  BM25 model(b_, k1_, idf_);
  model.set_state(std::move(state));
  return model;
}

}  // namespace mira::typing::text
