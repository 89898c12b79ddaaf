// The segmenter behind the public cut: max-probability words first, then
// every stretch of consecutive one-rune words is re-cut by the HMM, so that
// words missing from the dictionary can still be found. One-rune words that
// the user dictionary names are kept and split such stretches.
//
// Borrows the dictionary and the model; const and safe to share between
// threads.
#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/PosTagger.hpp"

namespace mira::typing::text::jieba {

class MixSegment : public SegmentTagged {
 public:
  MixSegment(const DictTrie* dict, const HMMModel* model)
      : mp_segment_(dict), hmm_segment_(model) {}

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
  // Appends the words of [begin, end).
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& out,
           bool use_hmm) const;

  bool Tag(const std::string& sentence, std::vector<WordTag>& out) const override {
    return pos_tagger_.Tag(sentence, out, *this);
  }
  const DictTrie* GetDictTrie() const override { return mp_segment_.GetDictTrie(); }

 private:
  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  PosTagger pos_tagger_;
};

}  // namespace mira::typing::text::jieba
