#include "tokenizer/jieba/PosTagger.hpp"

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/LogSites.hpp"

namespace mira::typing::text::jieba {

namespace {
const char* const POS_M = "m";
const char* const POS_ENG = "eng";
const char* const POS_X = "x";
}  // namespace

bool PosTagger::Tag(const std::string& sentence, std::vector<WordTag>& out,
                    const SegmentTagged& segment) const {
  std::vector<std::string> words;
  segment.Cut(sentence, words);
  for (const std::string& word : words) out.emplace_back(word, LookupTag(word, segment));
  return !out.empty();
}

std::string PosTagger::LookupTag(const std::string& str, const SegmentTagged& segment) const {
  const DictTrie* dict = segment.GetDictTrie();
  RuneStrArray runes;
  if (!DecodeRunesInString(str, runes)) {
    XLOG_SITE(ERROR, log_sites::kTagDecode) << "Decode failed.";
    return POS_X;
  }
  if (!runes.empty()) {
    const DictUnit* unit = dict->Find(runes.begin(), runes.end());
    if (unit != nullptr && !unit->tag.empty()) return unit->tag;
  }
  const size_t n = runes.size();
  if (n < 2) return POS_X;
  // Decide from the leading runes: once half of them are ASCII the word
  // counts as Latin text or a numeral.
  size_t ascii = 0;
  size_t digits = 0;
  for (const RuneStr& r : runes) {
    if (r.rune < 0x80) {
      ++ascii;
      if (r.rune >= '0' && r.rune <= '9') ++digits;
    }
    if (ascii >= n / 2) break;
  }
  if (ascii == 0) return POS_X;
  if (ascii == digits) return POS_M;
  return POS_ENG;
}

}  // namespace mira::typing::text::jieba
