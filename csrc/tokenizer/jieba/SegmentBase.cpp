#include "tokenizer/jieba/SegmentBase.hpp"

#include "tokenizer/jieba/limonp/Logging.hpp"

namespace mira::typing::text::jieba {

namespace {
constexpr const char* kLocation = "csrc/tokenizer/jieba/SegmentBase.hpp";
}  // namespace

const char* const SPECIAL_SEPARATORS = " \t\n\xEF\xBC\x8C\xE3\x80\x82";

SegmentBase::SegmentBase() {
  separators_.max_load_factor(1.0);
  XCHECK_AT(ResetSeparators(SPECIAL_SEPARATORS), limonp::BadContentError, kLocation, 21, );
}

bool SegmentBase::ResetSeparators(const std::string& s) {
  separators_.clear();
  RuneStrArray runes;
  if (!DecodeRunesInString(s, runes)) {
    XLOG_AT(ERROR, kLocation, 32) << "decode " << s << " failed";
    return false;
  }
  for (const RuneStr& r : runes) {
    if (!separators_.insert(r.rune).second) {
      XLOG_AT(ERROR, kLocation, 37) << s.substr(r.byte_offset, r.byte_length)
                                    << " already exists";
      return false;
    }
  }
  return true;
}

}  // namespace mira::typing::text::jieba
