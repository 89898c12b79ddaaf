// Character classes that decide which words count as terms.
//
// "Letter or digit" means a code point of the Unicode general categories L*
// (letters, CJK ideographs included) or N* (decimal digits, letter numbers
// such as Roman numerals, other numbers such as circled digits), after the
// table in CharClassTable.inc. Pure functions; safe from any thread.
#pragma once

#include <string>

#include "tokenizer/jieba/Unicode.hpp"

namespace mira::typing::text::jieba {

// True iff r is a Unicode letter (L*) or number (N*).
bool IsLetterOrDigit(Rune r);

// True iff the UTF-8 text holds at least one letter or number. Text that
// does not decode holds none.
bool HoldsLetterOrDigit(const std::string& utf8);

}  // namespace mira::typing::text::jieba
