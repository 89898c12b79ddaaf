// The segmenter facade: owns the dictionary, the HMM model and one of each
// segmenter built on them.
//
// Members are built in declaration order (the segmenters point into the
// dictionary and the model, so those come first) and the object is neither
// copied nor moved. Read-only after construction: any number of threads may
// cut with one Jieba at once.
#pragma once

#include <string>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/FullSegment.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/jieba/KeywordExtractor.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/QuerySegment.hpp"

namespace mira::typing::text::jieba {

// The five data files a Jieba is loaded from.
struct JiebaPaths {
  std::string dict_path;
  std::string hmm_path;
  std::string user_dict_path;
  std::string idf_path;
  std::string stop_word_path;
};

class Jieba {
 public:
  // Loads everything; throws limonp::FileOpenError or
  // limonp::BadContentError when a file is missing or malformed. An empty
  // user_dict_path loads no user words.
  Jieba(const std::string& dict_path, const std::string& hmm_path,
        const std::string& user_dict_path, const std::string& idf_path,
        const std::string& stop_word_path);
  Jieba(const Jieba&) = delete;
  Jieba& operator=(const Jieba&) = delete;

  // The normal cut: max-probability words with the HMM re-cut.
  void Cut(const std::string& sentence, std::vector<std::string>& words) const {
    mix_segment_.Cut(sentence, words, true);
  }
  // The search cut: also the dictionary sub-words of long words.
  void CutForSearch(const std::string& sentence, std::vector<std::string>& words) const {
    query_segment_.Cut(sentence, words, true);
  }

  // The byte spans in sentence of the words of Cut (or of CutForSearch when
  // search is true), into spans (cleared first).
  void CutSpans(const std::string& sentence, std::vector<ByteSpan>& spans, bool search) const {
    if (search) {
      query_segment_.Cut(sentence, spans, true);
    } else {
      mix_segment_.Cut(sentence, spans, true);
    }
  }
  // Calls sink(ranges) once with the word ranges of Tokenize's cut, while
  // the runes they point to live: Tokenize without a string per word.
  template <class Sink>
  void TokenizeRanges(const std::string& sentence, bool search, Sink&& sink) const {
    if (search) {
      query_segment_.CutRanges(sentence, true, sink);
    } else {
      mix_segment_.CutRanges(sentence, true, sink);
    }
  }
  // The words of Cut (or of CutForSearch when search is true) with their
  // places: rune_offset and rune_length index the sentence's code points.
  void Tokenize(const std::string& sentence, std::vector<Word>& words, bool search) const {
    if (search) {
      query_segment_.Cut(sentence, words, true);
    } else {
      mix_segment_.Cut(sentence, words, true);
    }
  }
  // The words of Cut with their part-of-speech tags; out is replaced.
  void Tag(const std::string& sentence, std::vector<WordTag>& out) const {
    out.clear();
    mix_segment_.Tag(sentence, out);
  }
  // The top_k (0: all) TF-IDF keywords of the words of Cut, heaviest first.
  std::vector<Keyword> ExtractKeywords(const std::string& sentence, size_t top_k) const {
    return keyword_extractor_.Extract(sentence, top_k);
  }

  const JiebaPaths& Paths() const { return paths_; }
  const DictTrie& Dictionary() const { return dictionary_; }
  const MixSegment& GetMixSegment() const { return mix_segment_; }
  const QuerySegment& GetQuerySegment() const { return query_segment_; }
  const MPSegment& GetMPSegment() const { return mp_segment_; }
  const HMMSegment& GetHMMSegment() const { return hmm_segment_; }
  const FullSegment& GetFullSegment() const { return full_segment_; }
  const KeywordExtractor& GetKeywordExtractor() const { return keyword_extractor_; }

 private:
  JiebaPaths paths_;
  DictTrie dictionary_;
  HMMModel hmm_model_;
  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  MixSegment mix_segment_;
  FullSegment full_segment_;
  QuerySegment query_segment_;
  KeywordExtractor keyword_extractor_;
};

}  // namespace mira::typing::text::jieba
