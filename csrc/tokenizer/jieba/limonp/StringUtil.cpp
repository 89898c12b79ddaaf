#include "tokenizer/jieba/limonp/StringUtil.hpp"

#include <charconv>
#include <climits>
#include <cmath>

namespace mira::typing::text::limonp {

void Split(const std::string& src, std::vector<std::string>& res, const std::string& pattern,
           size_t maxsplit) {
  res.clear();
  size_t start = 0;
  while (start < src.size()) {
    const size_t end = pattern.empty() ? std::string::npos : src.find_first_of(pattern, start);
    if (end == std::string::npos || res.size() >= maxsplit) {
      res.push_back(src.substr(start));
      return;
    }
    res.push_back(src.substr(start, end - start));
    start = end + 1;
  }
}

void SplitView(std::string_view src, std::vector<std::string_view>& res,
               std::string_view pattern) {
  res.clear();
  size_t start = 0;
  while (start < src.size()) {
    const size_t end =
        pattern.empty() ? std::string_view::npos : src.find_first_of(pattern, start);
    if (end == std::string_view::npos) {
      res.push_back(src.substr(start));
      return;
    }
    res.push_back(src.substr(start, end - start));
    start = end + 1;
  }
}

namespace {

// isspace in the "C" locale.
bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// For a number from_chars found out of range: true when its magnitude is
// too large (overflow), false when too small. The magnitude's order is the
// place of the first non-zero digit plus the exponent.
bool Overflows(std::string_view text, bool hex) {
  const char exp_mark = hex ? 'p' : 'e';
  long place = 0;  // digits (hex: nibbles) of the integer part from the first non-zero one
  bool seen_point = false;
  bool seen_nonzero = false;
  long leading_fraction_zeros = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      seen_point = true;
      continue;
    }
    if (c == exp_mark || c == exp_mark - 'a' + 'A') break;
    if (!seen_point) {
      if (c != '0' || seen_nonzero) {
        seen_nonzero = true;
        ++place;
      }
    } else if (!seen_nonzero) {
      if (c == '0') {
        ++leading_fraction_zeros;
      } else {
        seen_nonzero = true;
      }
    }
  }
  long exponent = 0;
  if (i < text.size()) {
    const char* first = text.data() + i + 1 + (text[i + 1] == '+' ? 1 : 0);
    const auto parsed = std::from_chars(first, text.data() + text.size(), exponent);
    // An exponent beyond the range of long is far beyond that of double:
    // its sign alone decides (a huge negative one underflows to 0).
    if (parsed.ec == std::errc::result_out_of_range) return *first != '-';
  }
  // The order is bounded by the text's length, so negating it cannot
  // overflow, while adding it to an extreme exponent could.
  const long order = place > 0 ? place : -leading_fraction_zeros;
  return exponent > (hex ? -4 * order : -order);
}

// Skips leading C-locale blanks and one sign, as atof and atoi do; returns
// the index of the first byte after them.
size_t SkipSpaceAndSign(std::string_view s, bool& negative) {
  size_t i = 0;
  while (i < s.size() && IsCSpace(s[i])) ++i;
  negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  return i;
}

}  // namespace

double ParseDouble(std::string_view s) {
  bool found = false;
  return ParseDouble(s, found);
}

double ParseDouble(std::string_view s, bool& found) {
  found = false;
  bool negative = false;
  size_t i = SkipSpaceAndSign(s, negative);
  // from_chars takes a minus of its own; a second sign is no number.
  if (i == s.size() || s[i] == '+' || s[i] == '-') return 0.0;
  const char* first = s.data() + i;
  const char* last = s.data() + s.size();
  bool hex = false;
  if (last - first > 2 && first[0] == '0' && (first[1] == 'x' || first[1] == 'X') &&
      (IsHexDigit(first[2]) || (first[2] == '.' && last - first > 3 && IsHexDigit(first[3])))) {
    hex = true;
    first += 2;
  }
  double value = 0.0;
  const auto result =
      std::from_chars(first, last, value, hex ? std::chars_format::hex : std::chars_format::general);
  found = result.ec == std::errc() || result.ec == std::errc::result_out_of_range;
  if (result.ec == std::errc::result_out_of_range) {
    value = Overflows(std::string_view(first, static_cast<size_t>(result.ptr - first)), hex)
                ? HUGE_VAL
                : 0.0;
  } else if (result.ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

int ParseInt(std::string_view s) {
  bool negative = false;
  size_t i = SkipSpaceAndSign(s, negative);
  long long value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      value = static_cast<long long>(INT_MAX) + 1;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace mira::typing::text::limonp
