// Which words are worth indexing: those that hold a letter or a digit.
//
// The code-point table (TermChars.cpp) is generated from Python's
// unicodedata by tools/gen_term_chars.py, so the native filter agrees with
// `unicodedata.category(ch)[0] in "LN"` for the Unicode version it records.
// Everything here is stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/Utf8.hpp"

namespace mira::typing::text {

// The Unicode version the table follows, e.g. "14.0.0".
extern const char kTermCharsUnicodeVersion[];

// True for a code point of general category L* (letter) or N* (number).
bool IsTermChar(uint32_t code_point);

// True when the UTF-8 text holds at least one such code point. Bytes that do
// not decode count as no letter (the segmenter only emits decodable words).
inline bool HasTermChar(std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      // ASCII: letters and digits only.
      if (static_cast<unsigned>((lead | 0x20) - 'a') < 26u ||
          static_cast<unsigned>(lead - '0') < 10u) {
        return true;
      }
      ++i;
      continue;
    }
    std::size_t n;
    const uint32_t cp = DecodeUtf8(utf8, i, n);
    if (n == 0) {
      ++i;  // a stray continuation or invalid lead byte
      continue;
    }
    if (IsTermChar(cp)) return true;
    i += n;
  }
  return false;
}

}  // namespace mira::typing::text
