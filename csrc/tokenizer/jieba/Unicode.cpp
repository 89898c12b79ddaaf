#include "tokenizer/jieba/Unicode.hpp"

#include <utility>

namespace mira::typing::text::jieba {

bool DecodeRunesInString(const char* s, size_t len, RuneStrArray& out) {
  out.clear();
  if (len == 0) return true;
  out.reserve(len / 2);
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  size_t p = 0;
  uint32_t n = 0;
  while (p < len) {
    if (s == nullptr) {
      out.clear();
      return false;
    }
    const Rune a = bytes[p];
    const size_t remaining = len - p;
    Rune rune;
    uint32_t count;
    if (a < 0x80) {
      rune = a;
      count = 1;
    } else if (a <= 0xDF && remaining >= 2) {
      rune = ((a & 0x1F) << 6) | (bytes[p + 1] & 0x3F);
      count = 2;
    } else if (a <= 0xEF && remaining >= 3) {
      rune = ((a & 0x0F) << 12) | ((bytes[p + 1] & 0x3F) << 6) | (bytes[p + 2] & 0x3F);
      count = 3;
    } else if (a <= 0xF7 && remaining >= 4) {
      rune = ((a & 0x07) << 18) | ((bytes[p + 1] & 0x3F) << 12) | ((bytes[p + 2] & 0x3F) << 6) |
             (bytes[p + 3] & 0x3F);
      count = 4;
    } else {
      out.clear();
      return false;
    }
    out.push_back(RuneStr(rune, static_cast<uint32_t>(p), count, n, 1));
    p += count;
    ++n;
  }
  return true;
}

bool DecodeRunesInString(const char* s, size_t len, RuneArray& out) {
  out.clear();
  RuneStrArray runes;
  if (!DecodeRunesInString(s, len, runes)) return false;
  out.reserve(runes.size());
  for (const RuneStr& r : runes) out.push_back(r.rune);
  return true;
}

void GetWordsFromWordRanges(const std::string& s, const std::vector<WordRange>& ranges,
                            std::vector<Word>& words) {
  for (const WordRange& range : ranges) {
    const RuneStr& left = *range.left;
    const RuneStr& right = *range.right;
    Word word;
    const ByteSpan bytes = range.Bytes();
    word.text = s.substr(bytes.offset, bytes.length);
    word.byte_offset = bytes.offset;
    word.rune_offset = left.rune_offset;
    word.rune_length = right.rune_offset + right.rune_length - left.rune_offset;
    word.dictionary = range.dictionary;
    words.push_back(std::move(word));
  }
}

}  // namespace mira::typing::text::jieba
