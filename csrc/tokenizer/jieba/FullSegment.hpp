#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"

namespace mira::typing::text::jieba {

// Lists every dictionary word of two or more runes, overlapping ones
// included, and single runes where nothing longer covers them.
//
// Borrows the dictionary; const and safe to share between threads.
class FullSegment : public SegmentBase {
 public:
  explicit FullSegment(const DictTrie* dict) : dict_(dict) {}

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override;
  void Cut(const std::string& sentence, std::vector<Word>& words) const;
  // Appends the words found in [begin, end), by start and then by end.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& out) const;

 private:
  const DictTrie* dict_;
};

}  // namespace mira::typing::text::jieba
