// Cuts arbitrary bytes with every segmenter over a small dictionary and
// model. Decodable input must come back whole from the normal cut; nothing
// may crash or read out of bounds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tokenizer/jieba/Jieba.hpp"

namespace {

using mira::typing::text::jieba::Jieba;

std::string WriteFile(const std::string& name, const std::string& content) {
  std::string path = "/tmp/mira_jieba_fuzz_" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  return path;
}

const Jieba& Instance() {
  static const std::unique_ptr<Jieba> jieba = [] {
    const std::string dict = WriteFile("dict", "北京 30 ns\n大学 20 n\n北京大学 40 nt\n京大 5 j\n"
                                               "a 3 x\nab 4 eng\n1 2 m\n你好 9 l\n");
    const std::string user = WriteFile("user", "好\n北 1 x\n");
    const std::string hmm = WriteFile("hmm", "-0.3 -1e100 -1e100 -1.4\n-1e100 -0.5 -0.9 -1e100\n"
                                             "-0.6 -1e100 -1e100 -0.8\n-1e100 -0.3 -1.3 -1e100\n"
                                             "-0.7 -1e100 -1e100 -0.7\n你:-1,北:-2\n好:-1,京:-2\n"
                                             "大:-3\n学:-1,好:-4\n");
    const std::string idf = WriteFile("idf", "北京 2.0\n");
    const std::string stop = WriteFile("stop", "的\n");
    return std::make_unique<Jieba>(dict, hmm, user, idf, stop);
  }();
  return *jieba;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Jieba& jieba = Instance();
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
