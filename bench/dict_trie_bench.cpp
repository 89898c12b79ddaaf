// Baseline figures for the dictionary trie: load time of a generated
// 300,000-word dictionary, peak resident memory, and lattice throughput.
//
// Usage: dict_trie_bench [words] [text_runes]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"

namespace {

using mira::typing::text::jieba::Dag;
using mira::typing::text::jieba::DecodeRunesInString;
using mira::typing::text::jieba::DictTrie;
using mira::typing::text::jieba::Rune;
using mira::typing::text::jieba::RuneStrArray;

void AppendUtf8(std::string& out, Rune r) {
  out.push_back(static_cast<char>(0xE0 | (r >> 12)));
  out.push_back(static_cast<char>(0x80 | ((r >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (r & 0x3F)));
}

// Common CJK runes, skewed toward the start of the block so words share prefixes
// the way real vocabulary does.
Rune RandomRune(std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double x = u(rng);
  return 0x4E00 + static_cast<Rune>(x * x * 6000);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t word_count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300000;
  const size_t text_runes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000000;

  std::mt19937 rng(20240601);
  std::uniform_int_distribution<int> len_dist(1, 4);
  std::uniform_int_distribution<int> freq_dist(1, 100000);
  std::unordered_set<std::string> seen;
  std::vector<std::string> words;
  words.reserve(word_count);
  while (words.size() < word_count) {
    std::string w;
    const int len = len_dist(rng);
    for (int i = 0; i < len; ++i) AppendUtf8(w, RandomRune(rng));
    if (seen.insert(w).second) words.push_back(w);
  }

  char path_template[] = "/tmp/dict_trie_bench_XXXXXX";
  const int fd = mkstemp(path_template);
  if (fd < 0) {
    std::perror("mkstemp");
    return 1;
  }
  close(fd);
  const std::string path = path_template;
  {
    std::ofstream out(path);
    for (const auto& w : words) out << w << ' ' << freq_dist(rng) << " n\n";
  }
  const long rss_before = PeakRssKiB();

  const auto load_start = std::chrono::steady_clock::now();
  DictTrie dict(path);
  const double load_seconds = Seconds(load_start);
  std::remove(path.c_str());
  const long rss_after = PeakRssKiB();

  // Text made of dictionary words and stray runes, cut into ~20-rune pieces
  // as the sentence pre-filter would hand them over.
  std::uniform_int_distribution<size_t> pick(0, words.size() - 1);
  std::vector<RuneStrArray> pieces;
  size_t total_runes = 0;
  while (total_runes < text_runes) {
    std::string piece;
    while (piece.size() < 60) {
      if (rng() % 4 == 0) {
        AppendUtf8(piece, RandomRune(rng));
      } else {
        piece += words[pick(rng)];
      }
    }
    RuneStrArray runes;
    DecodeRunesInString(piece, runes);
    total_runes += runes.size();
    pieces.push_back(runes);
  }

  std::vector<Dag> dags;
  size_t candidates = 0;
  const auto find_start = std::chrono::steady_clock::now();
  for (int round = 0; round < 3; ++round) {
    for (const auto& runes : pieces) {
      dags.clear();
      dict.Find(runes.begin(), runes.end(), dags);
      for (const auto& d : dags) candidates += d.next_words.size();
    }
  }
  const double find_seconds = Seconds(find_start);

  std::printf("words                 %zu\n", words.size());
  std::printf("load time             %.3f s\n", load_seconds);
  std::printf("peak RSS before load  %.1f MiB\n", rss_before / 1024.0);
  std::printf("peak RSS after load   %.1f MiB\n", rss_after / 1024.0);
  std::printf("find throughput       %.2f M runes/s (%zu runes x 3, %zu pieces, %zu candidates)\n",
              3.0 * static_cast<double>(total_runes) / find_seconds / 1e6, total_runes,
              pieces.size(), candidates);
  return 0;
}
