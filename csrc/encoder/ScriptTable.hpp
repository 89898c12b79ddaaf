// A table that folds text into one script (Traditional Chinese characters
// and phrases to Simplified), so that a query in either script finds
// documents in the other.
//
// The file holds one mapping a line, FROM<TAB>TO in UTF-8, sorted by FROM in
// byte order with each FROM once; a TO has as many code points as its FROM,
// so folding keeps every code point of a text in its place. Folding scans
// left to right: at each place the longest FROM that starts there is
// replaced by its TO; where none does, one code point is copied.
//
// Immutable after loading: any number of threads may fold at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "bm25/TokenTable.hpp"

namespace mira::typing::text {

class ScriptTable {
 public:
  // Loads the file. Throws limonp::FileOpenError when it cannot be read and
  // limonp::BadContentError, naming the line, when a line is malformed or
  // out of order.
  explicit ScriptTable(const std::string& path);

  // Writes the folded text into out and returns true, or returns false (out
  // untouched) when nothing in text folds.
  bool Fold(std::string_view text, std::string& out) const;

  std::size_t size() const { return to_.size(); }
  const std::string& path() const { return path_; }

 private:
  // Bit k - 1 is set when a FROM of k code points starts with this code
  // point; 0 when none does. A hash look-up: callers ask starters_ first.
  uint64_t Lengths(uint32_t code_point) const;
  // The table entry of exactly these bytes, or -1.
  int64_t Find(std::string_view from) const;

  std::string path_;
  TokenTable index_;  // FROM to its entry number
  std::vector<std::string> to_;
  // Bit set of the code points below U+10000 that start a FROM: most text
  // starts none, and this answers that from a few kilobytes.
  std::vector<uint64_t> starters_;
  std::unordered_map<uint32_t, uint64_t> lengths_;
};

}  // namespace mira::typing::text
