#include "bm25/TokenTable.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>

namespace mira::typing::text {
namespace {

uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

uint64_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// 64 x 64 -> 128-bit product, folded: a strong and cheap mixing step.
uint64_t Fold(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

constexpr uint64_t kOdd1 = 0x9e3779b97f4a7c15ull;
constexpr uint64_t kOdd2 = 0xc2b2ae3d27d4eb4full;

// The secrets a seed gives. Every key's bytes meet a secret before they are
// multiplied: a fold of a public constant with key bytes would be 0 for the
// key bytes equal to it, whatever the seed, and so the hash of every such key.
struct Secrets {
  uint64_t first;   // against the first eight bytes of each block
  uint64_t second;  // against the others
  uint64_t length;  // against the length
};

// splitmix64: a bijection that scatters nearby inputs.
uint64_t Scatter(uint64_t x) {
  x += kOdd1;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

Secrets SecretsOf(uint64_t seed) {
  return {Scatter(seed), Scatter(seed + kOdd1), Scatter(seed + 2 * kOdd1)};
}

uint64_t ProcessSeed() {
  static const uint64_t seed = [] {
    static const char anchor = 0;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return Fold(reinterpret_cast<uintptr_t>(&anchor) ^ kOdd1,
                static_cast<uint64_t>(now) ^ kOdd2);
  }();
  return seed;
}

uint64_t Hash(std::string_view token, const Secrets& secrets) {
  const char* p = token.data();
  const std::size_t n = token.size();
  uint64_t state = secrets.second;
  uint64_t a = 0;
  uint64_t b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = Load64(p);
      b = Load64(p + n - 8);
    } else if (n >= 4) {
      a = Load32(p);
      b = Load32(p + n - 4);
    } else if (n > 0) {
      a = (uint64_t{static_cast<unsigned char>(p[0])} << 16) |
          (uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
          static_cast<unsigned char>(p[n - 1]);
    }
  } else {
    std::size_t i = 0;
    for (; n - i > 16; i += 16) {
      state = Fold(Load64(p + i) ^ secrets.first, Load64(p + i + 8) ^ state);
    }
    a = Load64(p + n - 16);
    b = Load64(p + n - 8);
  }
  return Fold(secrets.length ^ n, Fold(a ^ secrets.first, b ^ state));
}

}  // namespace

uint64_t HashToken(std::string_view token) {
  static const Secrets secrets = SecretsOf(ProcessSeed());
  return Hash(token, secrets);
}

uint64_t HashToken(std::string_view token, uint64_t seed) { return Hash(token, SecretsOf(seed)); }

TokenTable::TokenTable(std::initializer_list<value_type> entries) {
  for (const auto& [key, count] : entries) {
    const std::size_t before = size();
    Count& entry = (*this)[key];
    if (size() != before) entry = count;
  }
}

TokenTable::TokenTable(std::vector<value_type> entries, std::vector<uint64_t> hashes,
                       std::vector<uint64_t> index)
    : entries_(std::move(entries)), hashes_(std::move(hashes)), slots_(std::move(index)) {
  if (entries_.size() != hashes_.size() || (slots_.empty() && !entries_.empty())) {
    throw std::invalid_argument("TokenTable: entries, hashes and index do not match");
  }
  mask_ = slots_.empty() ? 0 : slots_.size() - 1;
}

std::vector<uint64_t> TokenTable::IndexFor(const std::vector<uint64_t>& hashes) {
  if (hashes.size() >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("TokenTable too large");
  }
  if (hashes.empty()) return {};
  std::size_t slots = 16;
  while (2 * hashes.size() > slots) slots *= 2;
  std::vector<Slot> index(slots, 0);
  const std::size_t mask = slots - 1;
  // In entry order, as rehashing places them; a few homes ahead are
  // prefetched, so that the cache misses of a large index overlap.
  constexpr std::size_t kAhead = 8;
  for (std::size_t entry = 0; entry < hashes.size(); ++entry) {
    if (entry + kAhead < hashes.size()) {
      __builtin_prefetch(&index[static_cast<std::size_t>(hashes[entry + kAhead]) & mask], 1);
    }
    std::size_t i = static_cast<std::size_t>(hashes[entry]) & mask;
    while (index[i] != 0) i = (i + 1) & mask;
    index[i] = MakeSlot(hashes[entry], entry);
  }
  return index;
}

TokenTable::const_iterator TokenTable::find(std::string_view key, uint64_t hash) const {
  if (slots_.empty()) return end();
  for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot == 0) return end();
    if (!SameTag(slot, hash)) continue;
    const std::size_t entry = EntryOf(slot);
    if (hashes_[entry] == hash && SameToken(entries_[entry].first, key)) return begin() + entry;
  }
}

TokenTable::Count TokenTable::at(std::string_view key) const {
  const auto it = find(key);
  if (it == end()) throw std::out_of_range("TokenTable::at: no such token");
  return it->second;
}

std::size_t TokenTable::position(std::string_view key, uint64_t hash) const {
  if (slots_.empty()) return npos;
  for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot == 0) return npos;
    if (!SameTag(slot, hash)) continue;
    const std::size_t entry = EntryOf(slot);
    if (SameToken(entries_[entry].first, key)) return entry;
  }
}

std::size_t TokenTable::position(std::string_view key, uint64_t hash) {
  if (!slots_.empty()) {
    for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
      const Slot slot = slots_[i];
      if (slot == 0) break;
      if (!SameTag(slot, hash)) continue;
      const std::size_t entry = EntryOf(slot);
      if (SameToken(entries_[entry].first, key)) return entry;
    }
  }
  reserve(size() + 1);
  // Both vectors have room now, so neither push_back can fail after the
  // first succeeded.
  entries_.emplace_back(std::string(key), 0);
  hashes_.push_back(hash);
  place(size() - 1);
  return size() - 1;
}

void TokenTable::reserve(std::size_t n) {
  if (n >= std::numeric_limits<uint32_t>::max()) throw std::length_error("TokenTable too large");
  if (entries_.capacity() < n) {
    const std::size_t grown = std::max(n, 2 * entries_.capacity());
    entries_.reserve(grown);
    hashes_.reserve(grown);
  } else if (hashes_.capacity() < n) {
    hashes_.reserve(entries_.capacity());
  }
  if (2 * n > slots_.size()) {
    std::size_t slots = slots_.empty() ? 16 : slots_.size();
    while (2 * n > slots) slots *= 2;
    rehash(slots);
  }
}

void TokenTable::rehash(std::size_t slots) {
  std::vector<Slot> fresh(slots, 0);
  slots_.swap(fresh);
  mask_ = slots - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) place(i);
}

void TokenTable::place(std::size_t entry) {
  std::size_t i = home(hashes_[entry]);
  while (slots_[i] != 0) i = (i + 1) & mask_;
  slots_[i] = MakeSlot(hashes_[entry], entry);
}

void TokenTable::truncate(std::size_t size) {
  // Newest first: each removed entry is then the last one placed, so
  // emptying its slot restores the index as it was before the insertion.
  while (entries_.size() > size) {
    const std::size_t entry = entries_.size() - 1;
    std::size_t i = home(hashes_[entry]);
    while (slots_[i] != MakeSlot(hashes_[entry], entry)) i = (i + 1) & mask_;
    slots_[i] = 0;
    entries_.pop_back();
    hashes_.pop_back();
  }
}

bool TokenTable::operator==(const TokenTable& other) const {
  if (size() != other.size()) return false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const auto it = other.find(entries_[i].first, hashes_[i]);
    if (it == other.end() || it->second != entries_[i].second) return false;
  }
  return true;
}

}  // namespace mira::typing::text
