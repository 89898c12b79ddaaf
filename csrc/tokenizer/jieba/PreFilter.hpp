// Splits one sentence at separator runes: the text between separators comes
// out as one piece, each separator as a one-rune piece of its own.
//
// Lives on the stack of one cut; borrows the segmenter's separator set.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "tokenizer/jieba/Unicode.hpp"

namespace mira::typing::text::jieba {

class PreFilter {
 public:
  // The half-open rune span [begin, end) of one piece.
  struct Piece {
    const RuneStr* begin;
    const RuneStr* end;
  };

  // Decodes sentence; an undecodable one logs an ERROR line and yields no
  // pieces.
  PreFilter(const std::unordered_set<Rune>& separators, const std::string& sentence);
  PreFilter(const PreFilter&) = delete;
  PreFilter& operator=(const PreFilter&) = delete;

  bool HasMore() const { return next_ != runes_.end(); }
  // The next piece; call only while HasMore().
  Piece NextPiece();

 private:
  bool IsSeparator(Rune r) const {
    return (mask_ >> (r & 63) & 1) != 0 && separators_.count(r) != 0;
  }

  RuneStrArray runes_;
  const RuneStr* next_;
  const std::unordered_set<Rune>& separators_;
  // Bit r % 64 set for every separator r: most runes are told apart
  // without a look-up in the set.
  uint64_t mask_ = 0;
};

}  // namespace mira::typing::text::jieba
