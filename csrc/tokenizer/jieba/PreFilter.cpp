#include "tokenizer/jieba/PreFilter.hpp"

#include "tokenizer/jieba/LogSites.hpp"

namespace mira::typing::text::jieba {

PreFilter::PreFilter(const std::unordered_set<Rune>& separators, const std::string& sentence)
    : separators_(separators) {
  for (const Rune r : separators_) mask_ |= uint64_t{1} << (r & 63);
  if (!DecodeRunesInString(sentence, runes_)) {
    XLOG_SITE(ERROR, log_sites::kSentenceDecode) << "decode failed. ";
  }
  next_ = runes_.begin();
}

PreFilter::Piece PreFilter::NextPiece() {
  const RuneStr* begin = next_;
  const RuneStr* end = runes_.end();
  while (next_ != end && !IsSeparator(next_->rune)) ++next_;
  if (next_ == end) return {begin, end};
  if (next_ == begin) {
    ++next_;
    return {begin, next_};
  }
  return {begin, next_};
}

}  // namespace mira::typing::text::jieba
