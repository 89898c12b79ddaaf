#include "tokenizer/jieba/PreFilter.hpp"

#include "tokenizer/jieba/LogSites.hpp"

namespace mira::typing::text::jieba {

PreFilter::PreFilter(const std::unordered_set<Rune>& separators, const std::string& sentence)
    : separators_(separators) {
  if (!DecodeRunesInString(sentence, runes_)) {
    XLOG_SITE(ERROR, log_sites::kSentenceDecode) << "decode failed. ";
  }
  next_ = runes_.begin();
}

PreFilter::Piece PreFilter::NextPiece() {
  const RuneStr* begin = next_;
  const RuneStr* end = runes_.end();
  while (next_ != end && separators_.count(next_->rune) == 0) ++next_;
  if (next_ == end) return {begin, end};
  if (next_ == begin) {
    ++next_;
    return {begin, next_};
  }
  return {begin, next_};
}

}  // namespace mira::typing::text::jieba
