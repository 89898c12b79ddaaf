// Cuts arbitrary bytes with every segmenter over a small dictionary and
// model. Decodable input must come back whole from the normal cut; nothing
// may crash or read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mira_fuzz::SilenceDiagnostics();
  const auto& jieba = mira_fuzz::SmallJieba();
  const std::string sentence(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  jieba.Cut(sentence, words);
  std::string joined;
  for (const std::string& w : words) {
    if (w.empty()) std::abort();
    joined += w;
  }
  if (!words.empty() && joined != sentence) std::abort();
  std::vector<std::string> search;
  jieba.CutForSearch(sentence, search);
  if (search.size() < words.size()) std::abort();
  jieba.GetFullSegment().Cut(sentence, search);
  jieba.GetMPSegment().Cut(sentence, search, 3);

  // Offsets tile the runes of the sentence in cut order; tags follow the cut;
  // keyword weights are finite and in descending order.
  std::vector<mira::typing::text::jieba::Word> spans;
  jieba.Tokenize(sentence, spans, false);
  if (spans.size() != words.size()) std::abort();
  uint32_t next = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (spans[i].text != words[i] || spans[i].rune_offset != next) std::abort();
    next += spans[i].rune_length;
  }
  jieba.Tokenize(sentence, spans, true);
  std::vector<mira::typing::text::jieba::WordTag> tagged;
  jieba.Tag(sentence, tagged);
  if (tagged.size() != words.size()) std::abort();
  const auto keywords = jieba.ExtractKeywords(sentence, 0);
  for (size_t i = 0; i < keywords.size(); ++i) {
    if (!(keywords[i].weight > 0.0) || (i > 0 && keywords[i - 1].weight < keywords[i].weight)) {
      std::abort();
    }
  }
  return 0;
}
