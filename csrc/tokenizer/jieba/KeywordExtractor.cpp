#include "tokenizer/jieba/KeywordExtractor.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/LogSites.hpp"
#include "tokenizer/jieba/limonp/FileUtil.hpp"
#include "tokenizer/jieba/limonp/Logging.hpp"
#include "tokenizer/jieba/limonp/StringUtil.hpp"

namespace mira::typing::text::jieba {

namespace {

// Cuts line at spaces as SplitView(line, fields, " ") does and tells whether
// that gives exactly two fields (a trailing space adds none). Spares the
// field vector on the hot path of a large file.
bool SplitWordValue(std::string_view line, std::string_view& word, std::string_view& value) {
  const size_t space = line.find(' ');
  if (space == std::string_view::npos || space + 1 == line.size()) return false;
  word = line.substr(0, space);
  value = line.substr(space + 1);
  const size_t second = value.find(' ');
  if (second == std::string_view::npos) return true;
  if (second + 1 != value.size()) return false;
  value.remove_suffix(1);
  return true;
}

// Whether text has a line of a word and a number, or no line with text at
// all (an empty file is a valid, empty table).
bool HasEntryOrNothing(std::string_view text) {
  limonp::LineCursor lines(text);
  std::string_view line;
  std::string_view word;
  std::string_view value;
  bool nothing = true;
  bool found = false;
  while (lines.Next(line)) {
    if (line.empty()) continue;
    nothing = false;
    if (SplitWordValue(line, word, value)) {
      limonp::ParseDouble(value, found);
      if (found) return true;
    }
  }
  return nothing;
}

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
  XCHECK_SITE(ifs.is_open(), limonp::FileOpenError, log_sites::kIdfOpen,
              << "open " << path << " failed");
  std::string text;
  limonp::ReadAll(ifs, text);
  // A file of text but no entry is no IDF file (a corpus, say): every
  // keyword would weigh 0. Checked first, so that it logs one line, not one
  // per line of the file.
  XCHECK_SITE(HasEntryOrNothing(text), limonp::BadContentError, log_sites::kIdfNoEntry,
              << "no line of " << path << " is a word and its IDF value");
  // The words take less than the text, values and separators excluded.
  idfTable.Reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1,
                   text.size());
  limonp::LineCursor lines(text);
  std::string_view line;
  std::string_view word;
  std::string_view value;
  double idf_sum = 0.0;
  size_t lineno = 0;
  for (; lines.Next(line); ++lineno) {
    if (line.empty()) {
      XLOG_SITE(ERROR, log_sites::kIdfEmptyLine) << "lineno: " << lineno << " empty. skipped.";
      continue;
    }
    if (!SplitWordValue(line, word, value)) {
      XLOG_SITE(ERROR, log_sites::kIdfFields)
          << "line: " << line << ", lineno: " << lineno << " empty. skipped.";
      continue;
    }
    const double idf = limonp::ParseDouble(value);
    idfTable.Set(word, idf);
    idf_sum += idf;
  }
  idfTable.ShrinkToFit();
  // The mean is taken over every line read, skipped ones included (0/0 for
  // an empty file).
  idfAverage = idf_sum / static_cast<double>(lineno);
}

void KeywordExtractor::LoadStopWordDict(const std::string& path) {
  std::ifstream ifs;
  limonp::OpenDataFile(ifs, path);
  XCHECK_SITE(ifs.is_open(), limonp::FileOpenError, log_sites::kStopWordOpen,
              << "open " << path << " failed");
  std::string text;
  limonp::ReadAll(ifs, text);
  limonp::LineCursor lines(text);
  std::string_view line;
  while (lines.Next(line)) stopWords.emplace(line);
}

std::vector<Keyword> KeywordExtractor::Extract(const std::string& sentence, size_t top_k) const {
  std::vector<std::string> words;
  segment.Cut(sentence, words, true);
  const double mean = std::isnan(idfAverage) ? 0.0 : idfAverage;
  return RankKeywords(words, idfTable, mean, stopWords, top_k);
}

}  // namespace mira::typing::text::jieba
