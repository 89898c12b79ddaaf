// The search-mode segmenter: cuts like MixSegment and puts, in front of each
// word of three or more runes, the two- and three-rune dictionary words
// inside it, so that an index also holds the shorter terms.
//
// Borrows the dictionary and the model; const and safe to share between
// threads.
#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/MixSegment.hpp"

namespace mira::typing::text::jieba {

class QuerySegment : public SegmentBase {
 public:
  QuerySegment(const DictTrie* dict, const HMMModel* model)
      : mix_segment_(dict, model), dict_(dict) {}

  // With the HMM on.
  void Cut(const std::string& sentence, std::vector<std::string>& words) const override;
  void Cut(const std::string& sentence, std::vector<std::string>& words, bool use_hmm) const;
  void Cut(const std::string& sentence, std::vector<Word>& words, bool use_hmm) const;
  // The byte spans of the words of Cut, into spans (cleared first).
  void Cut(const std::string& sentence, std::vector<ByteSpan>& spans, bool use_hmm) const;
  // Calls sink(ranges) once with the word ranges of Cut, while the runes
  // they point to live.
  template <class Sink>
  void CutRanges(const std::string& sentence, bool use_hmm, Sink&& sink) const {
    CutSentenceRanges(sentence, RangeCutOf(*this, use_hmm), sink);
  }
  // Appends the words of [begin, end), each preceded by its sub-words.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& out,
           bool use_hmm) const;

 private:
  MixSegment mix_segment_;
  const DictTrie* dict_;
};

}  // namespace mira::typing::text::jieba
