// Small string helpers shared by the data-file loaders.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace mira::typing::text::limonp {

// Splits src at any byte of pattern. Adjacent separators give empty fields,
// a leading separator an empty first field; a trailing separator adds no
// field and an empty src gives no field. After maxsplit fields the rest of
// src is the last field.
void Split(const std::string& src, std::vector<std::string>& res, const std::string& pattern,
           size_t maxsplit = std::numeric_limits<size_t>::max());

inline std::vector<std::string> Split(const std::string& src, const std::string& pattern) {
  std::vector<std::string> res;
  Split(src, res, pattern);
  return res;
}

}  // namespace mira::typing::text::limonp
