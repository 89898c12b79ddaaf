#include "tokenizer/jieba/CharClass.hpp"

#include <algorithm>

#include "common/TermChars.hpp"

namespace mira::typing::text::jieba {

bool IsLetterOrDigit(Rune r) { return IsTermChar(r); }

bool HoldsLetterOrDigit(const std::string& utf8) {
  RuneArray runes;
  if (!DecodeRunesInString(utf8, runes)) return false;
  return std::any_of(runes.begin(), runes.end(), IsLetterOrDigit);
}

}  // namespace mira::typing::text::jieba
