#include "tokenizer/jieba/Jieba.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace mira::typing::text::jieba {

Jieba::Jieba(const std::string& dict_path, const std::string& hmm_path,
             const std::string& user_dict_path, const std::string& idf_path,
             const std::string& stop_word_path)
    : paths_{dict_path, hmm_path, user_dict_path, idf_path, stop_word_path},
      dictionary_(dict_path, user_dict_path, kUserWeightMedian),
      hmm_model_(hmm_path),
      mp_segment_(&dictionary_),
      hmm_segment_(&hmm_model_),
      mix_segment_(&dictionary_, &hmm_model_),
      full_segment_(&dictionary_),
      query_segment_(&dictionary_, &hmm_model_),
      keyword_extractor_(&dictionary_, &hmm_model_, idf_path, stop_word_path) {
#if defined(__GLIBC__)
  // Loading frees tens of MiB of working buffers (file texts, sort and build
  // tables) in the middle of the heap; hand those pages back so that every
  // process holding a Jieba pays only for the data it keeps.
  malloc_trim(0);
#endif
}

}  // namespace mira::typing::text::jieba
