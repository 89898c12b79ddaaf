// TokenTable: the BM25 token counts, a hash table from token bytes to a
// 64-bit count that is looked up by std::string_view without copying.
//
// Entries live in one vector in insertion order, which is the iteration
// order; an open-addressing index (linear probing, at most half full) maps
// hashes to entries. Entries are never erased one by one, only the newest
// ones together (truncate), which is how a failed update is undone.
//
// Thread safety: const operations may run concurrently; others must run alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mira::typing::text {

// A fast 64-bit hash of a byte string, seeded once per process so that
// crafted token sets cannot be prepared in advance to collide: every key's
// hash depends on the seed.
uint64_t HashToken(std::string_view token);
// The same hash under a given seed instead of the process's.
uint64_t HashToken(std::string_view token, uint64_t seed);

// a == b, quicker than memcmp for the short strings that tokens are.
inline bool SameToken(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
  auto load = [](const char* p, std::size_t k) {
    uint64_t v = 0;
    std::memcpy(&v, p, k);
    return v;
  };
  if (n >= 8) {
    return load(a.data(), 8) == load(b.data(), 8) &&
           load(a.data() + n - 8, 8) == load(b.data() + n - 8, 8);
  }
  return load(a.data(), n) == load(b.data(), n);
}

class TokenTable {
 public:
  using Count = int64_t;
  using value_type = std::pair<std::string, Count>;
  using const_iterator = std::vector<value_type>::const_iterator;
  using iterator = const_iterator;

  TokenTable() = default;
  // Like inserting each pair in turn; a repeated key keeps its first count.
  TokenTable(std::initializer_list<value_type> entries);
  // A table of distinct keys in the order of `entries`, where hashes[i] is
  // HashToken(entries[i].first) and index is IndexFor(hashes): the three
  // parts can be made on different threads at once.
  TokenTable(std::vector<value_type> entries, std::vector<uint64_t> hashes,
             std::vector<uint64_t> index);
  // The index of a table of distinct keys with these hashes, in order.
  static std::vector<uint64_t> IndexFor(const std::vector<uint64_t>& hashes);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  const_iterator find(std::string_view key) const { return find(key, HashToken(key)); }
  // hash must be HashToken(key).
  const_iterator find(std::string_view key, uint64_t hash) const;
  std::size_t count(std::string_view key) const { return find(key) == end() ? 0 : 1; }
  // Throws std::out_of_range when the key is absent.
  Count at(std::string_view key) const;

  // The count of key, inserted as 0 when absent. The reference stays valid
  // until the next insertion.
  Count& operator[](std::string_view key) { return slot(key, HashToken(key)); }
  // hash must be HashToken(key).
  Count& slot(std::string_view key, uint64_t hash) { return entries_[position(key, hash)].second; }
  // The place of key in iteration order, or npos when absent.
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  std::size_t position(std::string_view key, uint64_t hash) const;
  // The place of key in iteration order, inserted with count 0 when absent
  // (its place is then the former size); hash must be HashToken(key).
  std::size_t position(std::string_view key, uint64_t hash);

  // Makes room for n entries without rehashing.
  void reserve(std::size_t n);
  // Removes the entries inserted after the table held `size` entries.
  void truncate(std::size_t size);

  // Hints that a key with this hash will be looked up soon: prefetch_slot
  // first, then (once that has arrived) prefetch_entry.
  void prefetch_slot(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[home(hash)]);
  }
  void prefetch_entry(uint64_t hash) const {
    if (slots_.empty()) return;
    const Slot slot = slots_[home(hash)];
    if (slot != 0 && SameTag(slot, hash)) __builtin_prefetch(&entries_[EntryOf(slot)]);
  }

  // The full hash of entry i (in iteration order).
  uint64_t hash_at(std::size_t i) const { return hashes_[i]; }
  Count& count_at(std::size_t i) { return entries_[i].second; }
  Count count_at(std::size_t i) const { return entries_[i].second; }
  const std::string& key_at(std::size_t i) const { return entries_[i].first; }

  // Same keys with the same counts, in any order.
  bool operator==(const TokenTable& other) const;
  bool operator!=(const TokenTable& other) const { return !(*this == other); }

 private:
  // An index slot: 0 when empty, else the upper half of the entry's hash
  // (so most mismatches are seen without touching the entry) above
  // 1 + the entry's position.
  using Slot = uint64_t;
  static Slot MakeSlot(uint64_t hash, std::size_t entry) {
    return (hash & 0xffffffff00000000ull) | static_cast<uint64_t>(entry + 1);
  }
  static std::size_t EntryOf(Slot slot) { return static_cast<std::size_t>(slot & 0xffffffffu) - 1; }
  static bool SameTag(Slot slot, uint64_t hash) {
    return ((slot ^ hash) & 0xffffffff00000000ull) == 0;
  }

  std::size_t home(uint64_t hash) const { return static_cast<std::size_t>(hash) & mask_; }
  void rehash(std::size_t slots);
  void place(std::size_t entry);

  std::vector<value_type> entries_;
  std::vector<uint64_t> hashes_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

}  // namespace mira::typing::text
