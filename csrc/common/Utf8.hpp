// Reading and writing single UTF-8 sequences. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mira::typing::text {

// The code point of the UTF-8 sequence at text[i] (i < text.size()), and its
// length in n; n is 0 when the bytes there start no complete sequence.
inline uint32_t DecodeUtf8(std::string_view text, std::size_t i, std::size_t& n) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = byte(0);
  uint32_t cp;
  if (lead < 0x80) {
    n = 1;
    return lead;
  }
  // Three bytes, the form of every CJK character, first.
  if ((lead & 0xF0) == 0xE0 && text.size() - i >= 3 && (byte(1) & 0xC0) == 0x80 &&
      (byte(2) & 0xC0) == 0x80) {
    n = 3;
    return (uint32_t{lead & 0x0Fu} << 12) | (uint32_t{byte(1) & 0x3Fu} << 6) | (byte(2) & 0x3Fu);
  }
  if ((lead & 0xE0) == 0xC0) {
    n = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    n = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    n = 4;
    cp = lead & 0x07;
  } else {
    n = 0;
    return 0;
  }
  if (text.size() - i < n) {
    n = 0;
    return 0;
  }
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(k) & 0xC0) != 0x80) {
      n = 0;
      return 0;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  return cp;
}

// Appends the UTF-8 form of cp (at most U+10FFFF).
inline void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace mira::typing::text
