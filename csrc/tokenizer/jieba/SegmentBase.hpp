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
  // range_cut(begin, end, ranges) and turns the ranges into words.
  template <class RangeCut>
  void CutSentence(const std::string& sentence, std::vector<Word>& words,
                   RangeCut&& range_cut) const {
    PreFilter filter(separators_, sentence);
    // Per thread and reused, so that a cut allocates only its words.
    thread_local std::vector<WordRange> ranges;
    ranges.clear();
    while (filter.HasMore()) {
      const PreFilter::Piece piece = filter.NextPiece();
      range_cut(piece.begin, piece.end, ranges);
    }
    words.clear();
    words.reserve(ranges.size());
    GetWordsFromWordRanges(sentence, ranges, words);
  }

  // The sentence-level Cut forms of every segmenter, over its range-level
  // Cut(begin, end, out, options...): words with their offsets, or their
  // texts (out's strings are reused).
  template <class Segment, class... Options>
  static void CutWords(const Segment& segment, const std::string& sentence,
                       std::vector<Word>& words, Options... options) {
    segment.CutSentence(sentence, words,
                        [&segment, options...](const RuneStr* b, const RuneStr* e,
                                               std::vector<WordRange>& out) {
                          segment.Cut(b, e, out, options...);
                        });
  }
  template <class Segment, class... Options>
  static void CutStrings(const Segment& segment, const std::string& sentence,
                         std::vector<std::string>& words, Options... options) {
    std::vector<Word> tmp;
    CutWords(segment, sentence, tmp, options...);
    WordsToStrings(tmp, words);
  }

  // Copies the texts of words into out, reusing its strings.
  static void WordsToStrings(std::vector<Word>& words, std::vector<std::string>& out) {
    out.resize(words.size());
    for (size_t i = 0; i < words.size(); ++i) out[i].swap(words[i].text);
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
