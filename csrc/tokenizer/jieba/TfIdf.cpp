#include "tokenizer/jieba/TfIdf.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

#include "tokenizer/jieba/CharClass.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace mira::typing::text::jieba {

namespace {

struct Candidate {
  const std::string* word;  // into the caller's words
  size_t count;
  size_t first;  // index among the distinct counted words, for ties
  double weight;
};

bool IsStopWord(const std::string& word, const std::unordered_set<std::string>& stop_words,
                std::string& scratch) {
  if (stop_words.count(word) != 0) return true;
  scratch.assign(word);
  scratch.push_back('\r');
  return stop_words.count(scratch) != 0;
}

bool IsTerm(const std::string& word) {
  RuneArray runes;
  if (!DecodeRunesInString(word, runes) || runes.size() < 2) return false;
  return std::any_of(runes.begin(), runes.end(), IsLetterOrDigit);
}

// Heavier first, then earlier; NaN below everything. A strict total order,
// so the sort needs no stability.
bool Before(const Candidate& a, const Candidate& b) {
  const bool a_nan = std::isnan(a.weight);
  const bool b_nan = std::isnan(b.weight);
  if (a_nan != b_nan) return b_nan;
  if (!a_nan && a.weight != b.weight) return a.weight > b.weight;
  return a.first < b.first;
}

}  // namespace

std::vector<Keyword> RankKeywords(const std::vector<std::string>& words,
                                  const IdfTable& idf,
                                  double default_idf,
                                  const std::unordered_set<std::string>& stop_words,
                                  size_t top_k) {
  std::vector<Candidate> candidates;
  // Each distinct word is judged once: its candidate index, or kRejected.
  constexpr size_t kRejected = static_cast<size_t>(-1);
  std::unordered_map<std::string_view, size_t> index;  // views into words
  size_t total = 0;
  std::string scratch;
  for (const std::string& word : words) {
    auto found = index.find(word);
    if (found != index.end()) {
      if (found->second == kRejected) continue;
      ++candidates[found->second].count;
      ++total;
      continue;
    }
    if (!IsTerm(word) || IsStopWord(word, stop_words, scratch)) {
      index.emplace(word, kRejected);
      continue;
    }
    index.emplace(word, candidates.size());
    candidates.push_back({&word, 1, candidates.size(), 0.0});
    ++total;
  }
  for (Candidate& c : candidates) {
    const double* entry = idf.Find(*c.word);
    const double word_idf = entry != nullptr ? *entry : default_idf;
    c.weight = static_cast<double>(c.count) / static_cast<double>(total) * word_idf;
  }
  const size_t keep = top_k == 0 ? candidates.size() : std::min(top_k, candidates.size());
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep),
                    candidates.end(), Before);
  std::vector<Keyword> out;
  out.reserve(keep);
  for (size_t i = 0; i < keep; ++i) out.push_back({*candidates[i].word, candidates[i].weight});
  return out;
}

}  // namespace mira::typing::text::jieba
