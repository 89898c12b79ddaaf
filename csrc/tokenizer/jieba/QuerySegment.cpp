#include "tokenizer/jieba/QuerySegment.hpp"

namespace mira::typing::text::jieba {

void QuerySegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  CutStrings(*this, sentence, words, true);
}

void QuerySegment::Cut(const std::string& sentence, std::vector<std::string>& words,
                       bool use_hmm) const {
  CutStrings(*this, sentence, words, use_hmm);
}

void QuerySegment::Cut(const std::string& sentence, std::vector<Word>& words,
                       bool use_hmm) const {
  CutWords(*this, sentence, words, use_hmm);
}

void QuerySegment::Cut(const std::string& sentence, std::vector<ByteSpan>& spans,
                       bool use_hmm) const {
  CutSpans(*this, sentence, spans, use_hmm);
}

void QuerySegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& out,
                       bool use_hmm) const {
  thread_local std::vector<WordRange> mixed;  // reused: a text is cut piece by piece
  mixed.clear();
  mix_segment_.Cut(begin, end, mixed, use_hmm);
  for (const WordRange& w : mixed) {
    const size_t n = w.Length();
    if (n > 2) {
      for (size_t i = 0; i + 1 < n; ++i) {
        if (dict_->Find(w.left + i, w.left + i + 2) != nullptr) {
          out.emplace_back(w.left + i, w.left + i + 1, true);
        }
      }
    }
    if (n > 3) {
      for (size_t i = 0; i + 2 < n; ++i) {
        if (dict_->Find(w.left + i, w.left + i + 3) != nullptr) {
          out.emplace_back(w.left + i, w.left + i + 2, true);
        }
      }
    }
    out.push_back(w);
  }
}

}  // namespace mira::typing::text::jieba
