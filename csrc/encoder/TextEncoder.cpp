#include "encoder/TextEncoder.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/Parallel.hpp"
#include "common/TermChars.hpp"

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

BM25::Documents<std::string_view> TextEncoder::Views(const std::vector<TokenList>& tokens) {
  BM25::Documents<std::string_view> views;
  size_t total = 0;
  for (const TokenList& list : tokens) total += list.size();
  views.tokens.reserve(total);
  views.bounds.reserve(tokens.size() + 1);
  for (const TokenList& list : tokens) {
    views.tokens.insert(views.tokens.end(), list.begin(), list.end());
    views.end_document();
  }
  return views;
}

std::vector<BM25::Weights> TextEncoder::WeighDocuments(const std::vector<TokenList>& tokens,
                                                       unsigned threads) const {
  return model_->weigh_documents(Views(tokens), threads);
}

std::vector<BM25::Weights> TextEncoder::WeighQueries(const std::vector<TokenList>& tokens,
                                                     unsigned threads) const {
  return model_->weigh_queries(Views(tokens), threads);
}

void TextEncoder::AppendIdRows(const std::vector<TokenList>& tokens,
                               const std::vector<BM25::Weights>& weights, IdRows& out) {
  std::vector<IdWeight> entries;
  for (size_t i = 0; i < weights.size(); ++i) {
    entries.clear();
    for (const BM25::Weight& weight : weights[i]) {
      entries.emplace_back(TokenId(tokens[i][weight.first]), weight.value);
    }
    out.Append(entries);
  }
}

void TextEncoder::AppendCounts(const std::vector<TokenList>& tokens, TokenCounts& out) {
  std::vector<std::string_view> sorted;
  for (const TokenList& document : tokens) {
    // Byte order, the order of the model's weights, so that tokens sharing
    // an id are added in the order AppendIdRows adds them.
    sorted.assign(document.begin(), document.end());
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size();) {
      size_t j = i + 1;
      while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
      out.ids.push_back(TokenId(sorted[i]));
      out.counts.push_back(static_cast<BM25::Count>(j - i));
      i = j;
    }
    out.lengths.push_back(document.size());
    out.bounds.push_back(out.ids.size());
  }
}

IdRows TextEncoder::CountRows(const BM25& model, const TokenCounts& counts) {
  IdRows rows;
  rows.indices.reserve(counts.ids.size());
  rows.data.reserve(counts.ids.size());
  std::vector<IdWeight> entries;
  for (size_t i = 0; i < counts.lengths.size(); ++i) {
    entries.clear();
    if (counts.lengths[i] != 0) {
      const double norm = model.document_norm(counts.lengths[i]);
      for (size_t k = counts.bounds[i]; k < counts.bounds[i + 1]; ++k) {
        entries.emplace_back(counts.ids[k],
                             BM25::document_weight(static_cast<double>(counts.counts[k]), norm));
      }
    }
    rows.Append(entries);
  }
  return rows;
}

size_t TextEncoder::TrainTokens(BM25& target, const std::vector<TokenList>& tokens) {
  size_t added = 0;
  std::vector<std::string_view> views;
  for (const TokenList& document : tokens) {
    if (document.empty()) continue;
    views.assign(document.begin(), document.end());
    target.train_tokens(views);
    ++added;
  }
  return added;
}

}  // namespace mira::typing::text
