#include "tokenizer/jieba/IdfTable.hpp"

#include <functional>
#include <limits>
#include <stdexcept>

namespace mira::typing::text::jieba {

namespace {

size_t HashOf(std::string_view word) { return std::hash<std::string_view>()(word); }

}  // namespace

IdfTable::IdfTable(const std::unordered_map<std::string, double>& map) {
  Reserve(map.size());
  for (const auto& [word, value] : map) Set(word, value);
}

IdfTable::IdfTable(std::initializer_list<std::pair<std::string_view, double>> entries) {
  Reserve(entries.size());
  for (const auto& [word, value] : entries) Set(word, value);
}

void IdfTable::Reserve(size_t n, size_t word_bytes) {
  pool.reserve(word_bytes);
  starts.reserve(n + 1);
  values.reserve(n);
  // At most half full, so that probe runs stay short.
  size_t want = 16;
  while (want < 2 * n) want *= 2;
  if (want > slots.size()) Rehash(want);
}

size_t IdfTable::SlotOf(std::string_view word, size_t hash) const {
  const size_t mask = slots.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const uint32_t entry = slots[i];
    if (entry == kEmpty || WordAt(entry) == word) return i;
  }
}

void IdfTable::Rehash(size_t slot_count) {
  slots.assign(slot_count, kEmpty);
  const size_t mask = slot_count - 1;
  for (uint32_t entry = 0; entry < values.size(); ++entry) {
    size_t i = HashOf(WordAt(entry)) & mask;
    while (slots[i] != kEmpty) i = (i + 1) & mask;
    slots[i] = entry;
  }
}

void IdfTable::Set(std::string_view word, double value) {
  if (slots.empty()) Rehash(16);
  size_t slot = SlotOf(word, HashOf(word));
  if (slots[slot] != kEmpty) {
    values[slots[slot]] = value;
    return;
  }
  // Entry numbers and pool offsets are 32-bit; kEmpty is never an entry.
  constexpr size_t kLimit = std::numeric_limits<uint32_t>::max();
  if (word.size() > kLimit - pool.size() || values.size() + 1 >= kLimit) {
    throw std::length_error("IdfTable: too many words");
  }
  const auto entry = static_cast<uint32_t>(values.size());
  pool.append(word);
  starts.push_back(static_cast<uint32_t>(pool.size()));
  values.push_back(value);
  if (2 * values.size() > slots.size()) {
    Rehash(2 * slots.size());
  } else {
    slots[slot] = entry;
  }
}

const double* IdfTable::Find(std::string_view word) const {
  if (slots.empty()) return nullptr;
  const uint32_t entry = slots[SlotOf(word, HashOf(word))];
  return entry == kEmpty ? nullptr : &values[entry];
}

double IdfTable::at(std::string_view word) const {
  const double* value = Find(word);
  if (value == nullptr) throw std::out_of_range("IdfTable::at: no such word");
  return *value;
}

}  // namespace mira::typing::text::jieba
