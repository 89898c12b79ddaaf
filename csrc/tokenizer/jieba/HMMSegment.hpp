// Cuts runes without a dictionary: ASCII letter and number runs by fixed
// rules, every other run by Viterbi labelling over the HMM model.
//
// Holds a borrowed model; every operation is const and keeps its tables
// local, so one segmenter may cut from several threads at once.
#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"

namespace mira::typing::text::jieba {

// Score of an impossible path and emission of a rune a state never emits.
constexpr double MIN_DOUBLE = -3.14e100;

class HMMSegment : public SegmentBase {
 public:
  // model must outlive the segmenter.
  explicit HMMSegment(const HMMModel* model) : hmm_model_(model) {}

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override;
  void Cut(const std::string& sentence, std::vector<Word>& words) const;
  // Appends inclusive word ranges covering [begin, end).
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words) const;

  // Labels a non-empty run with Viterbi and cuts after every E or S rune.
  void InternalCut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words) const;
  // One state (HMMModel::B/E/M/S) per rune of the non-empty run [begin, end).
  void Viterbi(const RuneStr* begin, const RuneStr* end, std::vector<size_t>& status) const;

 private:
  const HMMModel* hmm_model_;
};

}  // namespace mira::typing::text::jieba
