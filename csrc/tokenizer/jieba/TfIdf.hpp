// TF-IDF ranking of the words of one text.
//
// A word counts when it has at least two runes, holds a letter or a digit
// (CharClass.hpp) and is not a stop word. Its weight is its count over the
// number of counted words, times its IDF. Pure function of its arguments;
// safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/jieba/IdfTable.hpp"

namespace mira::typing::text::jieba {

struct Keyword {
  std::string word;
  double weight = 0.0;
};

// Ranks words (a cut of one text, in order) and returns the top_k heaviest
// (all when top_k is 0), heaviest first, ties in order of first appearance.
// The IDF of a word is its entry in idf, or default_idf when it has none.
// A NaN weight ranks below every other. A stop word matches exactly or with
// a trailing carriage return (the set keeps the lines of a CRLF file as read).
std::vector<Keyword> RankKeywords(const std::vector<std::string>& words,
                                  const IdfTable& idf,
                                  double default_idf,
                                  const std::unordered_set<std::string>& stop_words, size_t top_k);

}  // namespace mira::typing::text::jieba
