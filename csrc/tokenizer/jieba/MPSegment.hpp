// Max-probability segmenter: the sequence of dictionary words with the
// greatest summed log weight; runes the dictionary lacks become one-rune
// words.
//
// Borrows the dictionary (which must outlive it); every operation is const
// and keeps its lattice local, so concurrent cuts are safe.
#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/PosTagger.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"

namespace mira::typing::text::jieba {

// Longest dictionary word any segmenter looks up by default, in runes.
constexpr size_t MAX_WORD_LENGTH = 512;
// Score of an impossible path.
constexpr double MP_MIN_WEIGHT = -3.14e100;

class MPSegment : public SegmentTagged {
 public:
  explicit MPSegment(const DictTrie* dict) : dict_(dict) {}

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override;
  void Cut(const std::string& sentence, std::vector<std::string>& words, size_t max_len) const;
  void Cut(const std::string& sentence, std::vector<Word>& words,
           size_t max_len = MAX_WORD_LENGTH) const;
  // Appends the words of [begin, end), none longer than max_len runes.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
           size_t max_len = MAX_WORD_LENGTH) const;

  bool Tag(const std::string& sentence, std::vector<WordTag>& out) const override {
    return pos_tagger_.Tag(sentence, out, *this);
  }
  const DictTrie* GetDictTrie() const override { return dict_; }

 private:

  const DictTrie* dict_;
  PosTagger pos_tagger_;
};

}  // namespace mira::typing::text::jieba
