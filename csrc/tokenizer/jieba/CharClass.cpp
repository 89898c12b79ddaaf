#include "tokenizer/jieba/CharClass.hpp"

#include <algorithm>
#include <iterator>

namespace mira::typing::text::jieba {

namespace {

struct RuneRange {
  Rune first;
  Rune last;
};

constexpr RuneRange kLetterOrDigit[] = {
#include "tokenizer/jieba/CharClassTable.inc"
};

}  // namespace

bool IsLetterOrDigit(Rune r) {
  if (r < 0x80) return (r >= '0' && r <= '9') || ((r | 0x20) >= 'a' && (r | 0x20) <= 'z');
  // The first range whose end is not below r is the only one that can hold it.
  const RuneRange* it =
      std::lower_bound(std::begin(kLetterOrDigit), std::end(kLetterOrDigit), r,
                       [](const RuneRange& range, Rune v) { return range.last < v; });
  return it != std::end(kLetterOrDigit) && it->first <= r;
}

bool HoldsLetterOrDigit(const std::string& utf8) {
  RuneArray runes;
  if (!DecodeRunesInString(utf8, runes)) return false;
  return std::any_of(runes.begin(), runes.end(), IsLetterOrDigit);
}

}  // namespace mira::typing::text::jieba
