// The data that keyword ranking needs: an IDF table with its mean and a
// stop-word set, beside a segmenter of its own.
//
// Borrows the dictionary and the model (which must outlive it); loaded once
// in the constructor and read-only afterwards.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/jieba/IdfTable.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/TfIdf.hpp"

namespace mira::typing::text::jieba {

class KeywordExtractor {
 public:
  // Loads both files; throws limonp::FileOpenError when one cannot be opened.
  KeywordExtractor(const DictTrie* dict_trie, const HMMModel* model, const std::string& idf_path,
                   const std::string& stop_word_path);

  const jieba::IdfTable& IdfTable() const { return idfTable; }
  // Sum of the accepted values over the number of lines read, skipped ones
  // included; not a number for an empty file.
  double IdfAverage() const { return idfAverage; }
  const std::unordered_set<std::string>& StopWords() const { return stopWords; }

  // The top_k (0: all) TF-IDF keywords of the words of sentence, cut with the
  // HMM on (RankKeywords). A word missing from the IDF table gets the mean;
  // a mean that is not a number (an empty IDF file) counts as 0.
  std::vector<Keyword> Extract(const std::string& sentence, size_t top_k) const;

 private:
  // "word value" lines; malformed ones are logged and skipped.
  void LoadIdfDict(const std::string& path);
  // One stop word per line, verbatim.
  void LoadStopWordDict(const std::string& path);

  MixSegment segment;
  jieba::IdfTable idfTable;
  double idfAverage = 0.0;
  std::unordered_set<std::string> stopWords;
};

}  // namespace mira::typing::text::jieba
