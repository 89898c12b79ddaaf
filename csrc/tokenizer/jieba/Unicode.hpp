// Text units of the segmenter: code points with their place in the source,
// inclusive word spans over them, and the output words.
//
// Input is always UTF-8 in a byte string; output words are byte substrings
// of it. Decoding never throws and never logs: failure is a false result with
// an empty output, and callers decide how to report it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tokenizer/jieba/limonp/LocalVector.hpp"

namespace mira::typing::text::jieba {

using Rune = uint32_t;

// One decoded code point and where it stands in the source.
struct RuneStr {
  Rune rune = 0;
  uint32_t byte_offset = 0;
  uint32_t byte_length = 0;
  uint32_t rune_offset = 0;
  uint32_t rune_length = 0;

  RuneStr() = default;
  RuneStr(Rune r, uint32_t byte_off, uint32_t byte_len, uint32_t rune_off, uint32_t rune_len)
      : rune(r), byte_offset(byte_off), byte_length(byte_len), rune_offset(rune_off),
        rune_length(rune_len) {}
};

using RuneArray = limonp::LocalVector<Rune>;
using RuneStrArray = limonp::LocalVector<RuneStr>;

// An output word as the bytes [offset, offset + length) of the source.
struct ByteSpan {
  uint32_t offset;
  uint32_t length;
};

// A word as the closed span [left, right] of runes of one RuneStrArray.
struct WordRange {
  const RuneStr* left;
  const RuneStr* right;
  // True when the segmenter took the word from the dictionary (false: it
  // may or may not be a dictionary word), so that callers need no look-up.
  bool dictionary = false;
  WordRange(const RuneStr* l, const RuneStr* r, bool dict = false)
      : left(l), right(r), dictionary(dict) {}
  // Number of runes in the span.
  size_t Length() const { return static_cast<size_t>(right - left) + 1; }
  // The bytes of the span in the decoded text.
  ByteSpan Bytes() const {
    return {left->byte_offset, right->byte_offset + right->byte_length - left->byte_offset};
  }
};

// An output word: its bytes and where it starts in the source.
struct Word {
  std::string text;
  uint32_t byte_offset = 0;
  uint32_t rune_offset = 0;
  uint32_t rune_length = 0;
  bool dictionary = false;  // as WordRange::dictionary
};

// Decodes len bytes of UTF-8 into out (cleared first). Lead bytes decide the
// sequence length; continuation bytes are not validated. False, with out
// empty, on a lead byte 0xF8-0xFF, a truncated sequence or a null s.
bool DecodeRunesInString(const char* s, size_t len, RuneStrArray& out);
// Same rules, keeping only the code points.
bool DecodeRunesInString(const char* s, size_t len, RuneArray& out);

inline bool DecodeRunesInString(const std::string& s, RuneStrArray& out) {
  return DecodeRunesInString(s.data(), s.size(), out);
}
inline bool DecodeRunesInString(const std::string& s, RuneArray& out) {
  return DecodeRunesInString(s.data(), s.size(), out);
}

// Appends one Word per range, in order; does not clear words.
void GetWordsFromWordRanges(const std::string& s, const std::vector<WordRange>& ranges,
                            std::vector<Word>& words);

}  // namespace mira::typing::text::jieba
