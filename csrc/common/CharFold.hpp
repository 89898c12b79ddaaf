// Folding letters and digits so that spellings that differ only in case or
// width ("iPhone", "iphone", "ＩＰＨＯＮＥ") count as one token.
//
// Each code point folds to one code point, so a folded text has the code
// points of the original at the same places. The table (CharFoldTable.cpp)
// is generated from Python's unicodedata by tools/gen_term_chars.py.
// Everything here is stateless and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mira::typing::text {

// Full-width Latin letters and digits to ASCII, then a letter to its lower
// case where that is one code point; any other code point is returned as is.
uint32_t FoldChar(uint32_t code_point);

// Writes the folded UTF-8 text into out and returns true, or returns false
// (out untouched) when nothing folds. Bytes that do not decode are copied.
bool FoldText(std::string_view text, std::string& out);

}  // namespace mira::typing::text
