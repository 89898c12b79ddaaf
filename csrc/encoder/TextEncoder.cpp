#include "encoder/TextEncoder.hpp"

#include <stdexcept>
#include <utility>

#include "common/Parallel.hpp"
#include "encoder/TermChars.hpp"

namespace mira::typing::text {
namespace {

// The stop-word file as a text reader sees it: lines end at "\n", "\r\n" or
// a lone "\r", and an empty line names no word. The segmenter keeps the
// lines split at "\n" only, so each is split again at "\r".
std::unordered_set<std::string> TextLines(const std::unordered_set<std::string>& raw_lines) {
  std::unordered_set<std::string> words;
  for (const std::string& line : raw_lines) {
    size_t start = 0;
    while (start <= line.size()) {
      size_t stop = line.find('\r', start);
      if (stop == std::string::npos) stop = line.size();
      if (stop > start) words.emplace(line, start, stop - start);
      start = stop + 1;
    }
  }
  return words;
}

}  // namespace

TextEncoder::TextEncoder(std::shared_ptr<const jieba::Jieba> jieba, std::shared_ptr<BM25> model,
                         Options options)
    : jieba_(std::move(jieba)), model_(std::move(model)), options_(options) {
  if (!jieba_) throw std::invalid_argument("TextEncoder needs a segmenter");
  if (!model_) throw std::invalid_argument("TextEncoder needs a model");
  if (options_.stop_words) stop_words_ = TextLines(jieba_->GetKeywordExtractor().StopWords());
}

void TextEncoder::Tokens(const std::string& text, std::vector<std::string>& out) const {
  if (options_.search) {
    jieba_->CutForSearch(text, out);
  } else {
    jieba_->Cut(text, out);
  }
  size_t kept = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (!HasTermChar(out[i]) || stop_words_.count(out[i]) != 0) continue;
    if (kept != i) out[kept] = std::move(out[i]);
    ++kept;
  }
  out.resize(kept);
}

std::vector<TextEncoder::TokenList> TextEncoder::TokensMany(const std::vector<std::string>& texts,
                                                         unsigned threads) const {
  std::vector<std::vector<std::string>> tokens(texts.size());
  ParallelFor(texts.size(), threads, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) Tokens(texts[i], tokens[i]);
  });
  return tokens;
}

std::vector<TextEncoder::Vector> TextEncoder::EncodeDocumentTokens(
    const std::vector<std::vector<std::string>>& tokens, unsigned threads) const {
  std::vector<Vector> vectors(tokens.size());
  const BM25& model = *model_;
  ParallelFor(tokens.size(), threads, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) vectors[i] = model.encode_document(tokens[i]);
  });
  return vectors;
}

std::vector<TextEncoder::Vector> TextEncoder::EncodeQueryTokens(
    const std::vector<std::vector<std::string>>& tokens, unsigned threads) const {
  std::vector<Vector> vectors(tokens.size());
  const BM25& model = *model_;
  ParallelFor(tokens.size(), threads, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) vectors[i] = model.encode_query(tokens[i]);
  });
  return vectors;
}

std::vector<TextEncoder::Vector> TextEncoder::EncodeDocuments(const std::vector<std::string>& texts,
                                                              unsigned threads) const {
  return EncodeDocumentTokens(TokensMany(texts, threads), threads);
}

std::vector<TextEncoder::Vector> TextEncoder::EncodeQueries(const std::vector<std::string>& texts,
                                                            unsigned threads) const {
  return EncodeQueryTokens(TokensMany(texts, threads), threads);
}

size_t TextEncoder::TrainTokens(BM25& target, const std::vector<std::vector<std::string>>& tokens) {
  size_t added = 0;
  for (const auto& document : tokens) {
    if (document.empty()) continue;
    target.train(document);
    ++added;
  }
  return added;
}

}  // namespace mira::typing::text
