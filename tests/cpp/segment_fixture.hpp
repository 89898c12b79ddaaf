// Dictionary and model of the segmenter tests, loaded once per process.
#pragma once

#include <memory>

#include "test_support.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"

namespace mira_test {

using mira::typing::text::jieba::DictTrie;
using mira::typing::text::jieba::HMMModel;

// The main dictionary alone.
inline const DictTrie& MainDict() {
  static const DictTrie dict(DataPath("dict.utf8"));
  return dict;
}
// The main dictionary with the user dictionary.
inline const DictTrie& UserDict() {
  static const DictTrie dict(DataPath("dict.utf8"), DataPath("user_dict.utf8"));
  return dict;
}
inline const HMMModel& Model() {
  static const HMMModel model(DataPath("hmm_model.utf8"));
  return model;
}

}  // namespace mira_test
