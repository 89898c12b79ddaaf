#include "tokenizer/jieba/MPSegment.hpp"

namespace mira::typing::text::jieba {

void MPSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  CutStrings(*this, sentence, words, MAX_WORD_LENGTH);
}

void MPSegment::Cut(const std::string& sentence, std::vector<std::string>& words,
                    size_t max_len) const {
  CutStrings(*this, sentence, words, max_len);
}

void MPSegment::Cut(const std::string& sentence, std::vector<Word>& words,
                    size_t max_len) const {
  CutWords(*this, sentence, words, max_len);
}

void MPSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
                    size_t max_len) const {
  if (begin >= end) return;
  const size_t n = static_cast<size_t>(end - begin);
  const double lowest = dict_->LowestWeight();
  // Right to left, the candidates of each position are scored as the trie
  // lists them, so no lattice is kept: per rune only the best score from
  // there on and the length of the word that achieves it. best[n] is the
  // empty rest. Ties go to the shorter word (the earlier candidate). A
  // candidate k runes on is a word of k + 1 runes. The buffers are kept per
  // thread: a text is cut piece by piece, and most pieces are short.
  thread_local std::vector<double> best;
  thread_local std::vector<uint32_t> length;
  best.resize(n + 1);
  length.resize(n);
  best[n] = 0.0;
  for (size_t i = n; i-- > 0;) {
    double best_weight = MP_MIN_WEIGHT;
    size_t best_k = 0;
    const double* rest = best.data() + i + 1;
    dict_->ForEachPrefixWeight(begin + i, end, max_len, lowest, [&](size_t k, double weight) {
      const double value = rest[k] + weight;
      if (value > best_weight) {
        best_weight = value;
        best_k = k;
      }
    });
    best[i] = best_weight;
    length[i] = static_cast<uint32_t>(best_k + 1);
  }
  for (size_t i = 0; i < n; i += length[i]) {
    // A word of several runes is always a dictionary word: only those are
    // candidates besides the single rune.
    words.emplace_back(begin + i, begin + i + length[i] - 1, length[i] > 1);
  }
}

}  // namespace mira::typing::text::jieba
