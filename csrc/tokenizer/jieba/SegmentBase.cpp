#include "tokenizer/jieba/SegmentBase.hpp"

#include "tokenizer/jieba/LogSites.hpp"

namespace mira::typing::text::jieba {

const char* const SPECIAL_SEPARATORS = " \t\n\xEF\xBC\x8C\xE3\x80\x82";

SegmentBase::SegmentBase() {
  separators_.max_load_factor(1.0);
  XCHECK_SITE(ResetSeparators(SPECIAL_SEPARATORS), limonp::BadContentError,
              log_sites::kDefaultSeparators, );
}

bool SegmentBase::ResetSeparators(const std::string& s) {
  separators_.clear();
  RuneStrArray runes;
  if (!DecodeRunesInString(s, runes)) {
    XLOG_SITE(ERROR, log_sites::kSeparatorDecode) << "decode " << s << " failed";
    return false;
  }
  for (const RuneStr& r : runes) {
    if (!separators_.insert(r.rune).second) {
      XLOG_SITE(ERROR, log_sites::kSeparatorRepeat)
          << s.substr(r.byte_offset, r.byte_length) << " already exists";
      return false;
    }
  }
  return true;
}

}  // namespace mira::typing::text::jieba
