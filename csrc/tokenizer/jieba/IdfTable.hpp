// A word -> IDF table laid out flat for a fast load and a small footprint:
// the words side by side in one character pool, their values in a parallel
// array, and an open-addressing index of 32-bit entry numbers over both.
//
// Entries are only added or overwritten, never removed. Lookups take a
// string_view and allocate nothing. Not synchronised: fill it from one
// thread; const operations are then safe from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mira::typing::text::jieba {

class IdfTable {
 public:
  IdfTable() = default;
  // Implicit, so that a plain map (or a braced list of pairs) can stand
  // wherever a table is taken.
  IdfTable(const std::unordered_map<std::string, double>& map);  // NOLINT(runtime/explicit)
  IdfTable(std::initializer_list<std::pair<std::string_view, double>> entries);

  // Room for n words of word_bytes bytes in all without growing.
  void Reserve(size_t n, size_t word_bytes = 0);
  // Adds word with value, or overwrites the value of a word already present.
  // Throws std::length_error when the words together pass 4 GiB.
  void Set(std::string_view word, double value);

  // Returns the pool's spare room, e.g. after a generous Reserve.
  void ShrinkToFit() { pool.shrink_to_fit(); }

  // The value of word, or nullptr when absent; valid until the next Set.
  const double* Find(std::string_view word) const;
  // The value of word; throws std::out_of_range when absent.
  double at(std::string_view word) const;

  size_t size() const { return values.size(); }
  bool empty() const { return values.empty(); }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  std::string_view WordAt(uint32_t entry) const {
    return std::string_view(pool).substr(starts[entry], starts[entry + 1] - starts[entry]);
  }
  // The index slot holding word, or the empty slot where it would go.
  size_t SlotOf(std::string_view word, size_t hash) const;
  void Rehash(size_t slot_count);

  std::string pool;                      // every word, back to back
  std::vector<uint32_t> starts = {0};    // entry i spans pool[starts[i], starts[i + 1])
  std::vector<double> values;            // entry i's value
  std::vector<uint32_t> slots;           // entry numbers or kEmpty; size a power of two
};

}  // namespace mira::typing::text::jieba
