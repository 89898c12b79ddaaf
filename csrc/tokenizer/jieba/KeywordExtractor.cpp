#include "tokenizer/jieba/KeywordExtractor.hpp"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "tokenizer/jieba/limonp/FileUtil.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace mira::typing::text::jieba {

namespace {
constexpr const char* kLocation = "csrc/tokenizer/jieba/KeywordExtractor.hpp";
}  // namespace

KeywordExtractor::KeywordExtractor(const DictTrie* dict_trie, const HMMModel* model,
                                   const std::string& idf_path,
                                   const std::string& stop_word_path)
    : segment(dict_trie, model) {
  LoadIdfDict(idf_path);
  LoadStopWordDict(stop_word_path);
}

void KeywordExtractor::LoadIdfDict(const std::string& path) {
  std::ifstream ifs;
  limonp::OpenDataFile(ifs, path);
  XCHECK_AT(ifs.is_open(), limonp::FileOpenError, kLocation, 100,
            << "open " << path << " failed");
  std::string line;
  std::vector<std::string> buf;
  double idf_sum = 0.0;
  size_t lineno = 0;
  for (; std::getline(ifs, line); ++lineno) {
    if (line.empty()) {
      XLOG_AT(ERROR, kLocation, 109) << "lineno: " << lineno << " empty. skipped.";
      continue;
    }
    limonp::Split(line, buf, " ");
    if (buf.size() != 2) {
      XLOG_AT(ERROR, kLocation, 114)
          << "line: " << line << ", lineno: " << lineno << " empty. skipped.";
      continue;
    }
    const double idf = std::atof(buf[1].c_str());
    idfTable[buf[0]] = idf;
    idf_sum += idf;
  }
  // The mean is taken over every line read, skipped ones included (0/0 for
  // an empty file).
  idfAverage = idf_sum / static_cast<double>(lineno);
}

void KeywordExtractor::LoadStopWordDict(const std::string& path) {
  std::ifstream ifs;
  limonp::OpenDataFile(ifs, path);
  XCHECK_AT(ifs.is_open(), limonp::FileOpenError, kLocation, 129,
            << "open " << path << " failed");
  std::string line;
  while (std::getline(ifs, line)) stopWords.insert(line);
}

std::vector<Keyword> KeywordExtractor::Extract(const std::string& sentence, size_t top_k) const {
  std::vector<std::string> words;
  segment.Cut(sentence, words, true);
  const double mean = std::isnan(idfAverage) ? 0.0 : idfAverage;
  return RankKeywords(words, idfTable, mean, stopWords, top_k);
}

}  // namespace mira::typing::text::jieba
