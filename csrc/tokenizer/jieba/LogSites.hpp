// Every place the segmenter's loaders and cutters write a diagnostic line,
// by name. The file and line of a site are part of the documented
// diagnostic output (tests and users match them), so they are fixed here
// rather than taken from the build.
#pragma once

#include "tokenizer/jieba/limonp/Logging.hpp"

namespace mira::typing::text::jieba {

// Location printed in one diagnostic line.
struct LogSite {
  const char* file;
  int line;
};

namespace log_sites {

inline constexpr char kDictTrie[] = "csrc/tokenizer/jieba/DictTrie.hpp";
inline constexpr char kHMMModel[] = "csrc/tokenizer/jieba/HMMModel.hpp";
inline constexpr char kKeywordExtractor[] = "csrc/tokenizer/jieba/KeywordExtractor.hpp";
inline constexpr char kSegmentBase[] = "csrc/tokenizer/jieba/SegmentBase.hpp";
inline constexpr char kPreFilter[] = "csrc/tokenizer/jieba/PreFilter.hpp";
inline constexpr char kPosTagger[] = "csrc/tokenizer/jieba/PosTagger.hpp";

// Dictionary trie.
inline constexpr LogSite kDictOpen{kDictTrie, 213};
inline constexpr LogSite kDictColumns{kDictTrie, 220};
inline constexpr LogSite kDictNotEmpty{kDictTrie, 234};
inline constexpr LogSite kUserDictOpen{kDictTrie, 159};
inline constexpr LogSite kWordDecode{kDictTrie, 203};
inline constexpr LogSite kDictNoFrequency{kDictTrie, 236};
inline constexpr LogSite kUserDictNoWord{kDictTrie, 166};

// HMM model.
inline constexpr LogSite kModelOpen{kHMMModel, 39};
inline constexpr LogSite kModelStartLine{kHMMModel, 44};
inline constexpr LogSite kModelStartFields{kHMMModel, 46};
inline constexpr LogSite kModelTransLine{kHMMModel, 53};
inline constexpr LogSite kModelTransFields{kHMMModel, 55};
inline constexpr LogSite kModelEmitLineB{kHMMModel, 62};
inline constexpr LogSite kModelEmitB{kHMMModel, 63};
inline constexpr LogSite kModelEmitLineE{kHMMModel, 66};
inline constexpr LogSite kModelEmitE{kHMMModel, 67};
inline constexpr LogSite kModelEmitLineM{kHMMModel, 70};
inline constexpr LogSite kModelEmitM{kHMMModel, 71};
inline constexpr LogSite kModelEmitLineS{kHMMModel, 74};
inline constexpr LogSite kModelEmitS{kHMMModel, 75};
inline constexpr LogSite kModelEmitItem{kHMMModel, 108};
inline constexpr LogSite kModelEmitRune{kHMMModel, 112};

// Keyword extractor.
inline constexpr LogSite kIdfOpen{kKeywordExtractor, 100};
inline constexpr LogSite kIdfNoEntry{kKeywordExtractor, 104};
inline constexpr LogSite kIdfEmptyLine{kKeywordExtractor, 109};
inline constexpr LogSite kIdfFields{kKeywordExtractor, 114};
inline constexpr LogSite kStopWordOpen{kKeywordExtractor, 129};

// Segmenters.
inline constexpr LogSite kDefaultSeparators{kSegmentBase, 21};
inline constexpr LogSite kSeparatorDecode{kSegmentBase, 32};
inline constexpr LogSite kSeparatorRepeat{kSegmentBase, 37};
inline constexpr LogSite kSentenceDecode{kPreFilter, 24};
inline constexpr LogSite kTagDecode{kPosTagger, 42};

}  // namespace log_sites
}  // namespace mira::typing::text::jieba

// XLOG_AT and XCHECK_AT at a named site.
#define XLOG_SITE(level, site) XLOG_AT(level, (site).file, (site).line)
#define XCHECK_SITE(exp, Error, site, explanation) \
  XCHECK_AT(exp, Error, (site).file, (site).line, explanation)
