// Which words are worth indexing: those that hold a letter or a digit.
//
// The code-point table (TermChars.cpp) is generated from Python's
// unicodedata by tools/gen_term_chars.py, so the native filter agrees with
// `unicodedata.category(ch)[0] in "LN"` for the Unicode version it records.
// Everything here is stateless and thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace mira::typing::text {

// The Unicode version the table follows, e.g. "14.0.0".
extern const char kTermCharsUnicodeVersion[];

// True for a code point of general category L* (letter) or N* (number).
bool IsTermChar(uint32_t code_point);

// True when the UTF-8 text holds at least one such code point. Bytes that do
// not decode count as no letter (the segmenter only emits decodable words).
inline bool HasTermChar(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      // ASCII: letters and digits only.
      if (static_cast<unsigned>((lead | 0x20) - 'a') < 26u ||
          static_cast<unsigned>(lead - '0') < 10u) {
        return true;
      }
      ++p;
      continue;
    }
    int extra;
    uint32_t cp;
    if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      cp = lead & 0x07;
    } else {
      ++p;  // a stray continuation or invalid lead byte
      continue;
    }
    if (end - p <= extra) break;
    bool valid = true;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (!valid) {
      ++p;
      continue;
    }
    if (IsTermChar(cp)) return true;
    p += extra + 1;
  }
  return false;
}

}  // namespace mira::typing::text
