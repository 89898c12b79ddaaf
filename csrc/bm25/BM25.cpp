#include "bm25/BM25.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/Parallel.hpp"

namespace mira::typing::text {
namespace {

const char kEmptyTraining[] = "trainning tokens_vec should not be empty";
const char kCountOverflow[] = "BM25 counts would exceed the 64-bit range";

constexpr BM25::Count kMaxCount = std::numeric_limits<BM25::Count>::max();

// Below this many tokens a batch is not worth a second thread.
constexpr std::size_t kTokensPerThread = 4096;

// Tokens per thread in one round of a batch with a checkpoint (rounds end
// between documents): a round takes a few milliseconds for common tokens,
// some 0.2 s when every token is new, so a stop request waits about that.
constexpr std::size_t kRoundTokens = std::size_t{1} << 18;

// sum + n, or overflow_error when it leaves the range; n is never negative.
BM25::Count CheckedAdd(BM25::Count sum, BM25::Count n) {
  if (sum > kMaxCount - n) throw std::overflow_error(kCountOverflow);
  return sum + n;
}

BM25::Count CheckedAdd(BM25::Count sum, std::size_t n) {
  if (n > static_cast<std::size_t>(kMaxCount)) throw std::overflow_error(kCountOverflow);
  return CheckedAdd(sum, static_cast<BM25::Count>(n));
}

// The table key of a token: integer ids are keyed by their decimal text.
class TableKey {
 public:
  explicit TableKey(std::string_view token) : view_(token) {}
  explicit TableKey(int64_t token) {
    const auto result = std::to_chars(text_, text_ + sizeof text_, token);
    view_ = std::string_view(text_, static_cast<std::size_t>(result.ptr - text_));
  }
  TableKey(const TableKey&) = delete;
  TableKey& operator=(const TableKey&) = delete;
  std::string_view view() const { return view_; }

 private:
  char text_[24];
  std::string_view view_;
};

uint64_t HashOf(std::string_view token) { return HashToken(token); }
uint64_t HashOf(int64_t token) {
  // Seeded like the table's keys: ids that share their low bits, say,
  // would otherwise pile up in a few slots of the per-call tally.
  char bytes[sizeof token];
  std::memcpy(bytes, &token, sizeof token);
  return HashToken(std::string_view(bytes, sizeof token));
}

// The first eight bytes of a token, big-endian and zero-padded: comparing
// these orders two tokens as their bytes do, unless they are equal.
uint64_t Prefix(std::string_view token) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, token.data(), std::min<std::size_t>(8, token.size()));
  uint64_t prefix = 0;
  for (unsigned char byte : bytes) prefix = (prefix << 8) | byte;
  return prefix;
}

bool Same(std::string_view a, std::string_view b) { return SameToken(a, b); }
bool Same(int64_t a, int64_t b) { return a == b; }

// Distinct tokens of one document with their counts and first positions.
// Reused across documents: clear is O(1) through a generation stamp.
template <typename Token>
class Tally {
 public:
  struct Entry {
    Token token;
    uint64_t hash;
    std::size_t first;
    BM25::Count n;
  };

  void count(Span<Token> tokens) {
    prepare(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      const Token& token = tokens[i];
      const uint64_t hash = HashOf(token);
      for (std::size_t s = static_cast<std::size_t>(hash) & mask_;; s = (s + 1) & mask_) {
        Slot& slot = slots_[s];
        if (slot.generation != generation_) {
          slot = {generation_, static_cast<uint32_t>(entries_.size())};
          entries_.push_back({token, hash, i, 1});
          break;
        }
        Entry& entry = entries_[slot.entry];
        if (entry.hash == hash && Same(entry.token, token)) {
          ++entry.n;
          break;
        }
      }
    }
  }

  // The distinct tokens in order of first occurrence.
  const std::vector<Entry>& entries() const { return entries_; }

  // The distinct tokens in ascending order; the tally is spent afterwards.
  std::vector<Entry>& sorted() {
    if constexpr (std::is_same_v<Token, std::string_view>) {
      // The hash is no longer needed: it holds the sort prefix from here on.
      for (Entry& entry : entries_) entry.hash = Prefix(entry.token);
      std::sort(entries_.begin(), entries_.end(), [](const Entry& x, const Entry& y) {
        return x.hash != y.hash ? x.hash < y.hash : x.token < y.token;
      });
    } else {
      std::sort(entries_.begin(), entries_.end(),
                [](const Entry& x, const Entry& y) { return x.token < y.token; });
    }
    return entries_;
  }

 private:
  struct Slot {
    uint32_t generation;
    uint32_t entry;
  };

  void prepare(std::size_t n) {
    if (n > std::numeric_limits<uint32_t>::max() / 2) throw std::length_error("document too long");
    entries_.clear();
    entries_.reserve(n);
    std::size_t size = 16;
    while (size < 2 * n) size *= 2;
    if (size > slots_.size() || generation_ == std::numeric_limits<uint32_t>::max()) {
      slots_.assign(std::max(size, slots_.size()), Slot{0, 0});
      generation_ = 0;
    }
    mask_ = slots_.size() - 1;
    ++generation_;
  }

  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  uint32_t generation_ = 0;
};

template <typename Token>
Tally<Token>& ThreadTally() {
  thread_local Tally<Token> tally;
  return tally;
}

// Appends the distinct tokens of one document to out, in order of first occurrence.
template <typename Token>
void AppendDistinct(Span<Token> tokens, std::vector<Token>& out) {
  Tally<Token>& tally = ThreadTally<Token>();
  tally.count(tokens);
  for (const auto& entry : tally.entries()) out.push_back(entry.token);
}

// Adds one occurrence of each token to the table; on any failure (overflow,
// allocation) the table is restored before the exception leaves.
template <typename Token>
void AddTokens(TokenTable& table, Span<Token> tokens) {
  const std::size_t old_size = table.size();
  std::size_t done = 0;
  try {
    // A block of tokens is hashed and its slots, then its entries,
    // prefetched before the look-ups, so that the cache misses of a large
    // table overlap instead of queueing.
    constexpr std::size_t kBlock = 16;
    uint64_t hashes[kBlock];
    while (done < tokens.size()) {
      const std::size_t block = std::min(kBlock, tokens.size() - done);
      for (std::size_t i = 0; i < block; ++i) {
        const TableKey key(tokens[done + i]);
        hashes[i] = HashToken(key.view());
        table.prefetch_slot(hashes[i]);
      }
      for (std::size_t i = 0; i < block; ++i) table.prefetch_entry(hashes[i]);
      for (std::size_t i = 0; i < block; ++i, ++done) {
        const TableKey key(tokens[done]);
        BM25::Count& entry = table.slot(key.view(), hashes[i]);
        if (entry == kMaxCount) throw std::overflow_error(kCountOverflow);
        ++entry;
      }
    }
  } catch (...) {
    // Every key before `done` is present, so these look-ups insert nothing.
    for (std::size_t i = 0; i < done; ++i) {
      const TableKey key(tokens[i]);
      --table[key.view()];
    }
    table.truncate(old_size);
    throw;
  }
}

// Adds the counts of one document's distinct tokens (a tally's entries) to
// `occurrences`, and one to `documents` for each; on any failure both tables
// are restored before the exception leaves.
template <typename Token, typename Entry>
void AddDocument(TokenTable& occurrences, TokenTable& documents, const std::vector<Entry>& entries) {
  const std::size_t old_occurrences = occurrences.size();
  const std::size_t old_documents = documents.size();
  auto hash_of = [](const Entry& entry, const TableKey& key) {
    // A string token's tally hash is already the table hash.
    if constexpr (std::is_same_v<Token, std::string_view>) return entry.hash;
    return HashToken(key.view());
  };
  std::size_t done = 0;
  try {
    for (; done < entries.size(); ++done) {
      const Entry& entry = entries[done];
      const TableKey key(entry.token);
      const uint64_t hash = hash_of(entry, key);
      BM25::Count& count = occurrences.slot(key.view(), hash);
      if (count > kMaxCount - entry.n) throw std::overflow_error(kCountOverflow);
      BM25::Count& holding = documents.slot(key.view(), hash);
      if (holding == kMaxCount) throw std::overflow_error(kCountOverflow);
      count += entry.n;
      ++holding;
    }
  } catch (...) {
    for (std::size_t i = 0; i < done; ++i) {
      const TableKey key(entries[i].token);
      const uint64_t hash = hash_of(entries[i], key);
      occurrences.slot(key.view(), hash) -= entries[i].n;
      --documents.slot(key.view(), hash);
    }
    occurrences.truncate(old_occurrences);
    documents.truncate(old_documents);
    throw;
  }
}

// Undoes a successful AddTokens(table, tokens) made when the table held
// old_size entries, after any later additions have been undone.
template <typename Token>
void RemoveTokens(TokenTable& table, Span<Token> tokens, std::size_t old_size) noexcept {
  for (const Token& token : tokens) {
    const TableKey key(token);
    --table[key.view()];
  }
  table.truncate(old_size);
}

// Adds the counts of each delta in turn, all or nothing.
void AddTables(TokenTable& table, const TokenTable* const* deltas, std::size_t n) {
  const std::size_t old_size = table.size();
  std::size_t d = 0;
  std::size_t i = 0;
  try {
    for (; d < n; ++d) {
      const TokenTable& delta = *deltas[d];
      for (i = 0; i < delta.size(); ++i) {
        const auto& [token, count] = *(delta.begin() + i);
        BM25::Count& entry = table.slot(token, delta.hash_at(i));
        entry = CheckedAdd(entry, count);
      }
    }
  } catch (...) {
    for (std::size_t undo_d = 0; undo_d <= d && undo_d < n; ++undo_d) {
      const TokenTable& delta = *deltas[undo_d];
      const std::size_t end = undo_d == d ? i : delta.size();
      for (std::size_t j = 0; j < end; ++j) {
        const auto& [token, count] = *(delta.begin() + j);
        table.slot(token, delta.hash_at(j)) -= count;
      }
    }
    table.truncate(old_size);
    throw;
  }
}

// Undoes a successful AddTables(table, &delta, 1) made when the table held
// old_size entries.
void SubtractTable(TokenTable& table, const TokenTable& delta, std::size_t old_size) noexcept {
  for (std::size_t i = 0; i < delta.size(); ++i) {
    const auto& [token, count] = *(delta.begin() + i);
    table.slot(token, delta.hash_at(i)) -= count;
  }
  table.truncate(old_size);
}

// Adds one occurrence of each token of `all` to the table on up to `threads`
// threads, all or nothing. New tokens are inserted in first-occurrence
// order, as one pass would.
template <typename Token>
void CountTokens(TokenTable& table, Span<Token> all, unsigned threads) {
  const std::size_t chunks =
      std::min<std::size_t>(threads, std::max<std::size_t>(1, all.size() / kTokensPerThread));
  if (chunks <= 1) {
    AddTokens(table, all);
    return;
  }
  // The first chunk counts straight into the table while each other chunk
  // counts its slice apart; those tables are added in chunk order afterwards.
  // No other thread touches the table meanwhile.
  auto slice = [&](std::size_t c) {
    const std::size_t from = c * all.size() / chunks;
    return Span<Token>(all.data() + from, (c + 1) * all.size() / chunks - from);
  };
  const std::size_t old_size = table.size();
  bool first_added = false;
  std::vector<TokenTable> partial(chunks);
  try {
    ParallelFor(chunks, chunks, [&](std::size_t begin, std::size_t end) {
      for (std::size_t c = begin; c < end; ++c) {
        if (c == 0) {
          AddTokens(table, slice(0));
          first_added = true;
          continue;
        }
        TokenTable& part = partial[c];
        for (const Token& token : slice(c)) {
          const TableKey key(token);
          ++part[key.view()];
        }
      }
    });
    std::vector<const TokenTable*> deltas;
    for (std::size_t c = 1; c < chunks; ++c) deltas.push_back(&partial[c]);
    AddTables(table, deltas.data(), deltas.size());
  } catch (...) {
    if (first_added) RemoveTokens(table, slice(0), old_size);
    throw;
  }
}

// The distinct tokens of each document, laid end to end in document order,
// gathered on up to `threads` threads.
template <typename Token>
std::vector<Token> DistinctOfEach(const BM25::Documents<Token>& documents, unsigned threads) {
  const std::size_t n = documents.size();
  const std::size_t chunks = std::max<std::size_t>(
      1, std::min<std::size_t>(threads, (documents.bounds.back() - documents.bounds.front()) /
                                            kTokensPerThread));
  std::vector<std::vector<Token>> parts(chunks);
  ParallelFor(chunks, chunks, [&](std::size_t begin, std::size_t end) {
    for (std::size_t c = begin; c < end; ++c) {
      for (std::size_t d = c * n / chunks; d < (c + 1) * n / chunks; ++d) {
        AppendDistinct(documents[d], parts[c]);
      }
    }
  });
  if (chunks == 1) return std::move(parts[0]);
  std::vector<Token> all;
  std::size_t total = 0;
  for (const auto& part : parts) total += part.size();
  all.reserve(total);
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

bool SameParameter(double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); }

}  // namespace

BM25::BM25(double b, double k1, Idf idf) : _b(b), _k1(k1), _idf_mode(idf) {}

void BM25::train(const std::vector<std::string>& tokens) {
  const std::vector<std::string_view> views(tokens.begin(), tokens.end());
  train_tokens(views);
}

void BM25::train(const std::vector<int64_t>& tokens) { train_tokens(tokens); }

void BM25::train(const std::vector<std::vector<int64_t>>& tokens_vec) {
  Documents<int64_t> documents;
  for (const auto& tokens : tokens_vec) documents.add(tokens);
  train_many(documents, 1);
}

void BM25::train_tokens(Span<std::string_view> tokens) { _train_one(tokens); }
void BM25::train_tokens(Span<int64_t> tokens) { _train_one(tokens); }

template <typename Token>
void BM25::_train_one(Span<Token> tokens) {
  if (tokens.empty()) throw std::runtime_error(kEmptyTraining);
  // Loaded counts can sit anywhere in the 64-bit range; the totals are
  // checked before anything changes.
  const Count doc_count = CheckedAdd(_doc_count, Count{1});
  const Count doc_length_total = CheckedAdd(_doc_length_total, tokens.size());
  if (_idf_mode == Idf::kDocuments) {
    // One pass over the distinct tokens feeds both tables.
    Tally<Token>& tally = ThreadTally<Token>();
    tally.count(tokens);
    AddDocument<Token>(_doc_token_frequency, _doc_token_documents, tally.entries());
  } else {
    AddTokens(_doc_token_frequency, tokens);
  }
  _doc_count = doc_count;
  _doc_length_total = doc_length_total;
  _doc_length_average = static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

void BM25::train_many(const Documents<std::string_view>& documents, unsigned threads,
                      const Checkpoint& checkpoint) {
  _train_many(documents, threads, checkpoint);
}

void BM25::train_many(const Documents<int64_t>& documents, unsigned threads,
                      const Checkpoint& checkpoint) {
  _train_many(documents, threads, checkpoint);
}

namespace {

// Documents [from, to) as a batch of their own.
template <typename Token>
BM25::Documents<Token> Slice(const BM25::Documents<Token>& documents, std::size_t from,
                             std::size_t to) {
  BM25::Documents<Token> slice;
  const auto& bounds = documents.bounds;
  slice.tokens.assign(documents.tokens.begin() + bounds[from],
                      documents.tokens.begin() + bounds[to]);
  slice.bounds.reserve(to - from + 1);
  for (std::size_t d = from + 1; d <= to; ++d) slice.bounds.push_back(bounds[d] - bounds[from]);
  return slice;
}

}  // namespace

template <typename Token>
void BM25::_train_many(const Documents<Token>& documents, unsigned threads,
                       const Checkpoint& checkpoint) {
  const std::size_t tokens = documents.bounds.back() - documents.bounds.front();
  const std::size_t round = kRoundTokens * std::max(1u, threads);
  if (!checkpoint || tokens <= round) {
    _train_batch(documents, threads);
    return;
  }
  // Rounds of whole documents with a checkpoint between them. A stop must
  // leave the model as it was, and undoing the rounds token by token could
  // take as long as they did.
  auto each_round = [&](BM25& target) {
    const auto& bounds = documents.bounds;
    for (std::size_t from = 0, to = 0; from < documents.size(); from = to) {
      if (from > 0) checkpoint();
      do {
        ++to;
      } while (to < documents.size() && bounds[to] - bounds[from] < round);
      target._train_batch(Slice(documents, from, to), threads);
    }
  };
  if (_doc_token_frequency.size() > tokens) {
    // A model larger than the batch is left alone until the rounds have
    // trained a model of their own, which it then takes in one step.
    BM25 batch(_b, _k1, _idf_mode);
    each_round(batch);
    merge(batch);
    return;
  }
  // A model no larger than the batch saves its statistics instead.
  const Count doc_count = _doc_count;
  const Count doc_length_total = _doc_length_total;
  const double doc_length_average = _doc_length_average;
  auto save = [](FrequencyTable& table) {
    std::vector<Count> counts(table.size());
    for (std::size_t i = 0; i < counts.size(); ++i) counts[i] = table.count_at(i);
    return counts;
  };
  auto restore = [](FrequencyTable& table, const std::vector<Count>& counts) {
    table.truncate(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) table.count_at(i) = counts[i];
  };
  const std::vector<Count> counts = save(_doc_token_frequency);
  const std::vector<Count> documents_holding = save(_doc_token_documents);
  try {
    each_round(*this);
  } catch (...) {
    restore(_doc_token_frequency, counts);
    restore(_doc_token_documents, documents_holding);
    _doc_count = doc_count;
    _doc_length_total = doc_length_total;
    _doc_length_average = doc_length_average;
    throw;
  }
}

template <typename Token>
void BM25::_train_batch(const Documents<Token>& documents, unsigned threads) {
  if (documents.size() == 0) throw std::runtime_error(kEmptyTraining);
  Count added = 0;
  for (std::size_t i = 0; i < documents.size(); ++i) added += documents[i].empty() ? 0 : 1;
  if (added == 0) return;
  const Count doc_count = CheckedAdd(_doc_count, added);
  // Empty documents add no tokens, so the tokens of the batch are exactly
  // the tokens between the first and the last bound.
  const Span<Token> all(documents.tokens.data() + documents.bounds.front(),
                        documents.bounds.back() - documents.bounds.front());
  const Count doc_length_total = CheckedAdd(_doc_length_total, all.size());

  std::vector<Token> distinct;
  if (_idf_mode == Idf::kDocuments) distinct = DistinctOfEach(documents, threads);
  const std::size_t old_size = _doc_token_frequency.size();
  CountTokens(_doc_token_frequency, all, threads);
  if (_idf_mode == Idf::kDocuments) {
    try {
      CountTokens(_doc_token_documents, Span<Token>(distinct), threads);
    } catch (...) {
      RemoveTokens(_doc_token_frequency, all, old_size);
      throw;
    }
  }
  _doc_count = doc_count;
  _doc_length_total = doc_length_total;
  _doc_length_average = static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

void BM25::merge(const BM25& other) {
  if (!SameParameter(_b, other._b) || !SameParameter(_k1, other._k1)) {
    throw std::invalid_argument("cannot merge BM25 models with different b or k1");
  }
  if (_idf_mode != other._idf_mode) {
    // A model that holds nothing yet takes the other's kind, as load would.
    const bool empty = _doc_count == 0 && _doc_length_total == 0 && _doc_token_frequency.empty() &&
                       _doc_token_documents.empty();
    if (!empty) {
      throw std::invalid_argument("cannot merge BM25 models that count the idf differently");
    }
    BM25 adopted(_b, _k1, other._idf_mode);
    adopted.merge(other);
    *this = std::move(adopted);
    return;
  }
  if (&other == this) {
    const BM25 copy = other;
    merge(copy);
    return;
  }
  const Count doc_count = CheckedAdd(_doc_count, other._doc_count);
  const Count doc_length_total = CheckedAdd(_doc_length_total, other._doc_length_total);
  const TokenTable* delta = &other._doc_token_frequency;
  const std::size_t old_size = _doc_token_frequency.size();
  AddTables(_doc_token_frequency, &delta, 1);
  if (_idf_mode == Idf::kDocuments) {
    try {
      const TokenTable* documents = &other._doc_token_documents;
      AddTables(_doc_token_documents, &documents, 1);
    } catch (...) {
      SubtractTable(_doc_token_frequency, other._doc_token_frequency, old_size);
      throw;
    }
  }
  _doc_count = doc_count;
  _doc_length_total = doc_length_total;
  // Training no document leaves the average as it was.
  if (other._doc_count > 0) {
    _doc_length_average =
        static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
  }
}

void BM25::check_initialized() const {
  if (_doc_count == 0 || std::fabs(_doc_length_average) < 1e-9) {
    throw std::runtime_error("BM25 has not been initialized");
  }
}

double BM25::idf(std::string_view key) const {
  // At the top of the range doc_count + 1 is 2^63, which a double holds exactly.
  const double documents = _doc_count == kMaxCount ? static_cast<double>(_doc_count) + 1.0
                                                   : static_cast<double>(_doc_count + 1);
  const TokenTable& table =
      _idf_mode == Idf::kDocuments ? _doc_token_documents : _doc_token_frequency;
  const auto entry = table.find(key);
  if (entry == table.end()) return std::log(documents / 1.5);
  Count count = entry->second;
  // A token cannot be in more documents than there are; a table loaded over
  // other statistics may say otherwise, and is read within the bounds.
  if (_idf_mode == Idf::kDocuments) count = std::clamp<Count>(count, 0, _doc_count);
  return std::log(documents / (static_cast<double>(count) + 0.5));
}

template <typename Token>
BM25::Weights BM25::_weigh_document(Span<Token> tokens) const {
  Weights result;
  if (tokens.empty()) return result;
  const double norm = document_norm(tokens.size());
  Tally<Token>& tally = ThreadTally<Token>();
  tally.count(tokens);
  const auto& distinct = tally.sorted();
  result.reserve(distinct.size());
  for (const auto& entry : distinct) {
    result.push_back({entry.first, document_weight(static_cast<double>(entry.n), norm)});
  }
  return result;
}

double BM25::document_norm(std::size_t length) const {
  check_initialized();
  return ((static_cast<double>(length) / _doc_length_average) * _b + (1.0 - _b)) * _k1;
}

template <typename Token>
BM25::Weights BM25::_weigh_query(Span<Token> tokens) const {
  Weights result;
  if (tokens.empty()) return result;
  check_initialized();
  Tally<Token>& tally = ThreadTally<Token>();
  tally.count(tokens);
  const auto& distinct = tally.sorted();
  result.reserve(distinct.size());
  double sum = 0.0;
  for (const auto& entry : distinct) {
    const TableKey key(entry.token);
    const double weight = idf(key.view());
    result.push_back({entry.first, weight});
    sum += weight;
  }
  for (Weight& weight : result) weight.value = weight.value / sum;
  return result;
}

BM25::Weights BM25::weigh_document(Span<std::string_view> tokens) const {
  return _weigh_document(tokens);
}
BM25::Weights BM25::weigh_document(Span<int64_t> tokens) const { return _weigh_document(tokens); }
BM25::Weights BM25::weigh_query(Span<std::string_view> tokens) const {
  return _weigh_query(tokens);
}
BM25::Weights BM25::weigh_query(Span<int64_t> tokens) const { return _weigh_query(tokens); }

template <typename Token>
std::vector<BM25::Weights> BM25::_weigh_each(const Documents<Token>& documents, unsigned threads,
                                             bool queries, const Checkpoint& checkpoint) const {
  std::vector<Weights> results(documents.size());
  // Readiness is checked inside each call, so an untrained model fails on
  // the first non-empty document whatever the thread count.
  const std::size_t tokens = documents.bounds.back() - documents.bounds.front();
  const std::size_t per_document = tokens / std::max<std::size_t>(1, documents.size()) + 1;
  const std::size_t grain = std::max<std::size_t>(1, kTokensPerThread / per_document);
  const std::size_t round =
      checkpoint ? std::max<std::size_t>(1, kRoundTokens * std::max(1u, threads) / per_document)
                 : documents.size();
  for (std::size_t from = 0; from < documents.size(); from += round) {
    if (from > 0) checkpoint();
    ParallelFor(
        std::min(round, documents.size() - from), threads,
        [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = from + begin; i < from + end; ++i) {
            results[i] = queries ? _weigh_query(documents[i]) : _weigh_document(documents[i]);
          }
        },
        grain);
  }
  return results;
}

std::vector<BM25::Weights> BM25::weigh_documents(const Documents<std::string_view>& documents,
                                                 unsigned threads,
                                                 const Checkpoint& checkpoint) const {
  return _weigh_each(documents, threads, false, checkpoint);
}
std::vector<BM25::Weights> BM25::weigh_documents(const Documents<int64_t>& documents,
                                                 unsigned threads,
                                                 const Checkpoint& checkpoint) const {
  return _weigh_each(documents, threads, false, checkpoint);
}
std::vector<BM25::Weights> BM25::weigh_queries(const Documents<std::string_view>& queries,
                                               unsigned threads,
                                               const Checkpoint& checkpoint) const {
  return _weigh_each(queries, threads, true, checkpoint);
}
std::vector<BM25::Weights> BM25::weigh_queries(const Documents<int64_t>& queries,
                                               unsigned threads,
                                               const Checkpoint& checkpoint) const {
  return _weigh_each(queries, threads, true, checkpoint);
}

namespace {

template <typename Key, typename Token>
std::map<Key, double> Ordered(Span<Token> tokens, const BM25::Weights& weights) {
  std::map<Key, double> result;
  for (const BM25::Weight& weight : weights) {
    result.emplace_hint(result.end(), Key(tokens[weight.first]), weight.value);
  }
  return result;
}

}  // namespace

std::map<std::string, double> BM25::encode_document(const std::vector<std::string>& tokens) const {
  const std::vector<std::string_view> views(tokens.begin(), tokens.end());
  return Ordered<std::string>(Span<std::string_view>(views), weigh_document(views));
}

std::map<int64_t, double> BM25::encode_document(const std::vector<int64_t>& tokens) const {
  return Ordered<int64_t>(Span<int64_t>(tokens), weigh_document(tokens));
}

std::map<std::string, double> BM25::encode_query(const std::vector<std::string>& tokens) const {
  const std::vector<std::string_view> views(tokens.begin(), tokens.end());
  return Ordered<std::string>(Span<std::string_view>(views), weigh_query(views));
}

std::map<int64_t, double> BM25::encode_query(const std::vector<int64_t>& tokens) const {
  return Ordered<int64_t>(Span<int64_t>(tokens), weigh_query(tokens));
}

BM25::State BM25::state() const {
  return State{_b,
               _k1,
               _doc_count,
               _doc_length_total,
               _doc_length_average,
               _doc_token_frequency,
               _idf_mode,
               _doc_token_documents};
}

void BM25::set_state(State state) {
  _b = state.b;
  _k1 = state.k1;
  _doc_count = state.doc_count;
  _doc_length_total = state.doc_length_total;
  _doc_length_average = state.doc_length_average;
  _doc_token_frequency = std::move(state.doc_token_frequency);
  _idf_mode = state.idf;
  _doc_token_documents = std::move(state.doc_token_documents);
}

}  // namespace mira::typing::text
