// Cutting one long piece without separators must take working memory in
// proportion to its length with a small constant: the whole-piece lattice
// of candidate lists is not kept. The heap is measured by replacing the
// global allocation functions of this test program.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "segment_fixture.hpp"
#include "tokenizer/jieba/FullSegment.hpp"
#include "tokenizer/jieba/MixSegment.hpp"

namespace {

std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};

void* Allocate(size_t n) {
  // A size header in front of each block so that delete knows what it frees.
  void* block = std::malloc(n + 16);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(block) = n;
  const size_t live = g_live.fetch_add(n) + n;
  size_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(block) + 16;
}

void Release(void* p) {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - 16;
  g_live.fetch_sub(*static_cast<size_t*>(block));
  std::free(block);
}

}  // namespace

// Every unaligned form, nothrow ones included: a sanitizer runtime supplies
// any form left out, and its blocks would reach these deletes.
void* operator new(size_t n) { return Allocate(n); }
void* operator new[](size_t n) { return Allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return Allocate(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept {
  return operator new(n, tag);
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

namespace {

using mira::typing::text::jieba::DecodeRunesInString;
using mira::typing::text::jieba::FullSegment;
using mira::typing::text::jieba::MixSegment;
using mira::typing::text::jieba::RuneStrArray;
using mira::typing::text::jieba::WordRange;

// Bytes of heap, per rune, that cut(begin, end, out) needs at its peak
// beyond what was live before, the output vector included.
template <class Cut>
double PeakBytesPerRune(const RuneStrArray& runes, Cut&& cut) {
  std::vector<WordRange> out;
  const size_t before = g_live.load();
  g_peak.store(before);
  cut(runes.begin(), runes.end(), out);
  EXPECT_FALSE(out.empty());
  return static_cast<double>(g_peak.load() - before) / static_cast<double>(runes.size());
}

TEST(LatticeMemory, LongPieceCostsAFewWordsPerRune) {
  const auto& dict = mira_test::UserDict();
  const auto& model = mira_test::Model();
  // Dictionary words, runes the dictionary lacks and ASCII, with no
  // separator: one piece of 200,000 runes.
  const std::vector<std::string> alphabet = {"北京", "大学", "我", "是", "学生", "韩", "冰",
                                             "林", "森", "a", "1", "中国", "人民", "计算"};
  std::mt19937 rng(3);
  std::string text;
  RuneStrArray runes;
  while (runes.size() < 200000) {
    text += mira_test::RandomSentence(rng, alphabet, 1000);
    ASSERT_TRUE(DecodeRunesInString(text, runes));
  }
  const MixSegment mix(&dict, &model);
  const FullSegment full(&dict);
  // The candidate-list lattice took over 300 bytes per rune; the words
  // themselves (ranges, their doubling, the HMM's tables for runs of single
  // runes) stay well under 96.
  EXPECT_LT(PeakBytesPerRune(runes,
                             [&](auto b, auto e, auto& out) { mix.Cut(b, e, out, true); }),
            96.0);
  EXPECT_LT(PeakBytesPerRune(runes,
                             [&](auto b, auto e, auto& out) { mix.Cut(b, e, out, false); }),
            96.0);
  EXPECT_LT(PeakBytesPerRune(runes, [&](auto b, auto e, auto& out) { full.Cut(b, e, out); }),
            96.0);
}

}  // namespace
