// Pairs the words of a cut with part-of-speech tags: the dictionary's tag,
// or "x", "m" or "eng" chosen from the word's characters. Stateless.
#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/SegmentBase.hpp"

namespace mira::typing::text::jieba {

class PosTagger {
 public:
  // Cuts sentence with segment and appends (word, tag) per word to out
  // (not cleared). True iff out is non-empty afterwards.
  bool Tag(const std::string& sentence, std::vector<WordTag>& out,
           const SegmentTagged& segment) const;
  // The dictionary tag of str if it has a non-empty one, else a fallback.
  std::string LookupTag(const std::string& str, const SegmentTagged& segment) const;
};

}  // namespace mira::typing::text::jieba
