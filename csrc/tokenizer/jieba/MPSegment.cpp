#include "tokenizer/jieba/MPSegment.hpp"

namespace mira::typing::text::jieba {

void MPSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  Cut(sentence, words, MAX_WORD_LENGTH);
}

void MPSegment::Cut(const std::string& sentence, std::vector<std::string>& words,
                    size_t max_len) const {
  std::vector<Word> tmp;
  Cut(sentence, tmp, max_len);
  WordsToStrings(tmp, words);
}

void MPSegment::Cut(const std::string& sentence, std::vector<Word>& words,
                    size_t max_len) const {
  CutSentence(sentence, words,
              [this, max_len](const RuneStr* b, const RuneStr* e, std::vector<WordRange>& out) {
                Cut(b, e, out, max_len);
              });
}

void MPSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
                    size_t max_len) const {
  std::vector<Dag> dags;
  dict_->Find(begin, end, dags, max_len);
  CalcDP(dags);
  CutByDag(begin, end, dags, words);
}

void MPSegment::CalcDP(std::vector<Dag>& dags) const {
  const double lowest = dict_->LowestWeight();
  for (size_t i = dags.size(); i-- > 0;) {
    Dag& dag = dags[i];
    dag.best_unit = nullptr;
    dag.best_weight = MP_MIN_WEIGHT;
    for (const DagWord& next : dag.next_words) {
      const size_t k = next.first;
      double value = k + 1 < dags.size() ? dags[k + 1].best_weight : 0.0;
      value += next.second != nullptr ? next.second->weight : lowest;
      if (value > dag.best_weight) {
        dag.best_unit = next.second;
        dag.best_weight = value;
      }
    }
  }
}

void MPSegment::CutByDag(const RuneStr* begin, const RuneStr* /*end*/,
                         const std::vector<Dag>& dags, std::vector<WordRange>& words) const {
  size_t i = 0;
  while (i < dags.size()) {
    const DictUnit* unit = dags[i].best_unit;
    const size_t n = unit != nullptr && !unit->runes.empty() ? unit->runes.size() : 1;
    words.emplace_back(begin + i, begin + i + n - 1);
    i += n;
  }
}

}  // namespace mira::typing::text::jieba
