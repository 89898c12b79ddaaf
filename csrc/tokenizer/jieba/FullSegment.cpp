#include "tokenizer/jieba/FullSegment.hpp"

#include <algorithm>

#include "tokenizer/jieba/MPSegment.hpp"

namespace mira::typing::text::jieba {

void FullSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  std::vector<Word> tmp;
  Cut(sentence, tmp);
  WordsToStrings(tmp, words);
}

void FullSegment::Cut(const std::string& sentence, std::vector<Word>& words) const {
  CutSentence(sentence, words,
              [this](const RuneStr* b, const RuneStr* e, std::vector<WordRange>& out) {
                Cut(b, e, out);
              });
}

void FullSegment::Cut(const RuneStr* begin, const RuneStr* end,
                      std::vector<WordRange>& out) const {
  std::vector<Dag> dags;
  dict_->Find(begin, end, dags, MAX_WORD_LENGTH);
  // reach: the end of the furthest word emitted so far; a lone rune is only
  // listed where no earlier word covers it.
  size_t reach = 0;
  size_t word_len = 0;
  for (size_t i = 0; i < dags.size(); ++i) {
    const size_t m = dags[i].next_words.size();
    for (const DagWord& next : dags[i].next_words) {
      const size_t k = next.first;
      if (next.second != nullptr) {
        word_len = next.second->runes.size();
        if (word_len >= 2 || (m == 1 && reach <= i)) out.emplace_back(begin + i, begin + k);
      } else {
        // The candidate is the lone rune; a length left over from an earlier
        // position would push reach past runes that nothing covers.
        word_len = 1;
        if (m == 1 && reach <= i) out.emplace_back(begin + i, begin + k);
      }
      reach = std::max(reach, i + word_len);
    }
  }
}

}  // namespace mira::typing::text::jieba
