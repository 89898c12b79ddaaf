#include "tokenizer/jieba/FullSegment.hpp"

#include <algorithm>

#include "tokenizer/jieba/MPSegment.hpp"

namespace mira::typing::text::jieba {

void FullSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  CutStrings(*this, sentence, words);
}

void FullSegment::Cut(const std::string& sentence, std::vector<Word>& words) const {
  CutWords(*this, sentence, words);
}

void FullSegment::Cut(const RuneStr* begin, const RuneStr* end,
                      std::vector<WordRange>& out) const {
  // reach: the end of the furthest word emitted so far; a lone rune is only
  // listed where no earlier word covers it.
  size_t reach = 0;
  size_t word_len = 0;
  limonp::LocalVector<DagWord> candidates;
  const size_t n = end > begin ? static_cast<size_t>(end - begin) : 0;
  for (size_t i = 0; i < n; ++i) {
    candidates.clear();
    dict_->ForEachPrefix(begin + i, end, MAX_WORD_LENGTH,
                         [&candidates, i](size_t k, const DictUnit* unit) {
                           candidates.push_back(DagWord{i + k, unit});
                         });
    const size_t m = candidates.size();
    for (const DagWord& next : candidates) {
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
