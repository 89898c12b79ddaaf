// Small string helpers shared by the data-file loaders.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
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

// Split with the same rules, giving views into src (which must outlive res).
void SplitView(std::string_view src, std::vector<std::string_view>& res, std::string_view pattern);

// The number at the start of s as atof reads it in the "C" locale, whatever
// the process locale: leading ASCII white space, an optional sign, then a
// decimal or "0x" hexadecimal floating number, "inf" or "nan"; no number
// reads as 0.0, a magnitude out of range as +-HUGE_VAL or +-0.0.
double ParseDouble(std::string_view s);
// The same; found tells whether s starts with a number at all.
double ParseDouble(std::string_view s, bool& found);

// The integer at the start of s as atoi reads it (white space, sign,
// decimal digits); no number reads as 0. Values beyond the int range are
// clamped to it rather than wrapped.
int ParseInt(std::string_view s);

}  // namespace mira::typing::text::limonp
