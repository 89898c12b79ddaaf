// Base classes of every segmenter and the sentence-level cut they share.
//
// A segmenter owns a set of separator runes. A sentence is split at them
// (each separator becomes a one-rune piece of its own) and every piece goes
// to the segmenter's range-level cut.
//
// Thread safety: the separator set is written only by the constructor and
// ResetSeparators; cutting only reads it, so concurrent cuts are safe as long
// as nobody resets the separators meanwhile.
#pragma once

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tokenizer/jieba/PreFilter.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace mira::typing::text::jieba {

class DictTrie;

// Blank, tab, line feed, full-width comma and ideographic full stop.
extern const char* const SPECIAL_SEPARATORS;

class SegmentBase {
 public:
  // Installs SPECIAL_SEPARATORS; throws limonp::BadContentError if they do
  // not decode into distinct runes.
  SegmentBase();
  virtual ~SegmentBase() = default;

  virtual void Cut(const std::string& sentence, std::vector<std::string>& words) const = 0;

  // Replaces the separators by the runes of s. False (with an ERROR line) if
  // s does not decode or names a rune twice; runes before the repeat stay.
  bool ResetSeparators(const std::string& s);

 protected:
  // Splits sentence at the separators, hands each piece [begin, end) to
  // range_cut(begin, end, ranges), then gives all the ranges to sink while
  // the runes they point to live.
  template <class RangeCut, class Sink>
  void CutSentenceRanges(const std::string& sentence, RangeCut&& range_cut, Sink&& sink) const {
    PreFilter filter(separators_, sentence);
    // Per thread and reused, so that a cut allocates only its words.
    thread_local std::vector<WordRange> ranges;
    ranges.clear();
    while (filter.HasMore()) {
      const PreFilter::Piece piece = filter.NextPiece();
      range_cut(piece.begin, piece.end, ranges);
    }
    sink(static_cast<const std::vector<WordRange>&>(ranges));
  }
  // The words of sentence with their offsets, through range_cut.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<Word>& words,
                   RangeCut&& range_cut) const {
    CutSentenceRanges(sentence, range_cut, [&](const std::vector<WordRange>& ranges) {
      words.clear();
      words.reserve(ranges.size());
      GetWordsFromWordRanges(sentence, ranges, words);
    });
  }
  // The sentence-level Cut forms of every segmenter, over its range-level
  // Cut(begin, end, out, options...): words with their offsets, their texts
  // (out's strings are reused) or their byte spans.
  template <class Segment, class... Options>
  static void CutWords(const Segment& segment, const std::string& sentence,
                       std::vector<Word>& words, Options... options) {
    segment.CutSentence(sentence, words, RangeCutOf(segment, options...));
  }
  template <class Segment, class... Options>
  static void CutStrings(const Segment& segment, const std::string& sentence,
                         std::vector<std::string>& words, Options... options) {
    segment.CutSentenceRanges(
        sentence, RangeCutOf(segment, options...), [&](const std::vector<WordRange>& ranges) {
          words.resize(ranges.size());
          for (size_t i = 0; i < ranges.size(); ++i) {
            const ByteSpan bytes = ranges[i].Bytes();
            words[i].assign(sentence, bytes.offset, bytes.length);
          }
        });
  }
  template <class Segment, class... Options>
  static void CutSpans(const Segment& segment, const std::string& sentence,
                       std::vector<ByteSpan>& spans, Options... options) {
    segment.CutSentenceRanges(
        sentence, RangeCutOf(segment, options...), [&](const std::vector<WordRange>& ranges) {
          spans.clear();
          spans.reserve(ranges.size());
          for (const WordRange& range : ranges) spans.push_back(range.Bytes());
        });
  }
  template <class Segment, class... Options>
  static auto RangeCutOf(const Segment& segment, Options... options) {
    return [&segment, options...](const RuneStr* b, const RuneStr* e,
                                  std::vector<WordRange>& out) { segment.Cut(b, e, out, options...); };
  }
  std::unordered_set<Rune> separators_;
};

using WordTag = std::pair<std::string, std::string>;

// A segmenter that can also tag its words with a part of speech.
class SegmentTagged : public SegmentBase {
 public:
  ~SegmentTagged() override = default;
  void Cut(const std::string& sentence, std::vector<std::string>& words) const override = 0;
  // Appends (word, tag) for every word of sentence; true iff out is non-empty.
  virtual bool Tag(const std::string& sentence, std::vector<WordTag>& out) const = 0;
  virtual const DictTrie* GetDictTrie() const = 0;
};

}  // namespace mira::typing::text::jieba
