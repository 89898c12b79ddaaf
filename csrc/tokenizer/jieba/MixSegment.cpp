#include "tokenizer/jieba/MixSegment.hpp"

namespace mira::typing::text::jieba {

void MixSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  CutStrings(*this, sentence, words, true);
}

void MixSegment::Cut(const std::string& sentence, std::vector<std::string>& words,
                     bool use_hmm) const {
  CutStrings(*this, sentence, words, use_hmm);
}

void MixSegment::Cut(const std::string& sentence, std::vector<Word>& words,
                     bool use_hmm) const {
  CutWords(*this, sentence, words, use_hmm);
}

void MixSegment::Cut(const std::string& sentence, std::vector<ByteSpan>& spans, bool use_hmm) const {
  CutSpans(*this, sentence, spans, use_hmm);
}

void MixSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& out,
                     bool use_hmm) const {
  if (!use_hmm) {
    mp_segment_.Cut(begin, end, out, MAX_WORD_LENGTH);
    return;
  }
  // Per thread and reused: a text is cut piece by piece.
  thread_local std::vector<WordRange> words;
  thread_local std::vector<WordRange> hmm_words;
  words.clear();
  hmm_words.clear();
  mp_segment_.Cut(begin, end, words, MAX_WORD_LENGTH);

  const DictTrie* dict = mp_segment_.GetDictTrie();
  auto is_free_single = [dict](const WordRange& w) {
    return w.left == w.right && !dict->IsUserDictSingleRune(w.left->rune);
  };
  size_t i = 0;
  while (i < words.size()) {
    if (!is_free_single(words[i])) {
      out.push_back(words[i]);
      ++i;
      continue;
    }
    size_t k = i;
    while (k < words.size() && is_free_single(words[k])) ++k;
    // One-rune words are consecutive runes, so the stretch is one span.
    hmm_segment_.Cut(words[i].left, words[k - 1].left + 1, hmm_words);
    out.insert(out.end(), hmm_words.begin(), hmm_words.end());
    hmm_words.clear();
    i = k;
  }
}

}  // namespace mira::typing::text::jieba
