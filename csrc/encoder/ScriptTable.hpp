// A table that folds text into one script (Traditional Chinese characters
// and phrases to Simplified), so that a query in either script finds
// documents in the other.
//
// The file holds one mapping a line, FROM<TAB>TO in UTF-8, sorted by FROM in
// byte order with each FROM once. Folding scans left to right: at each place
// the longest FROM that starts there is replaced by its TO; where none does,
// one code point is copied.
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
  // The most code points of a FROM that starts with this code point; 0 when
  // none does.
  std::size_t Longest(uint32_t code_point) const;
  // The table entry of exactly these bytes, or -1.
  int64_t Find(std::string_view from) const;

  std::string path_;
  TokenTable index_;  // FROM to its entry number
  std::vector<std::string> to_;
  std::vector<uint8_t> longest_bmp_;  // Longest of code points below U+10000
  std::unordered_map<uint32_t, std::size_t> longest_other_;
};

}  // namespace mira::typing::text
