#include "common/Parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace mira::typing::text {
namespace {

TEST(ResolveThreads, ZeroMeansTheHardwareAndNegativeIsRefused) {
  EXPECT_GE(ResolveThreads(0), 1u);
  EXPECT_EQ(ResolveThreads(1), 1u);
  EXPECT_EQ(ResolveThreads(7), 7u);
  EXPECT_THROW(ResolveThreads(-1), std::invalid_argument);
}

TEST(ParallelFor, CoversEveryIndexOnceInOrderedChunks) {
  for (std::size_t n : {0u, 1u, 2u, 5u, 64u, 1001u}) {
    for (unsigned threads : {1u, 2u, 3u, 8u, 100u}) {
      for (std::size_t grain : {1u, 10u}) {
        std::vector<std::atomic<int>> hits(n);
        std::atomic<std::size_t> chunks{0};
        ParallelFor(
            n, threads,
            [&](std::size_t begin, std::size_t end) {
              ASSERT_LT(begin, end);
              ++chunks;
              for (std::size_t i = begin; i < end; ++i) ++hits[i];
            },
            grain);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i], 1) << n << " " << threads << " " << i;
        EXPECT_LE(chunks, std::max<std::size_t>(1, std::min<std::size_t>(threads, n / grain)));
      }
    }
  }
}

TEST(ParallelFor, RethrowsAfterEveryChunkHasRun) {
  std::atomic<int> finished{0};
  EXPECT_THROW(ParallelFor(4, 4,
                           [&](std::size_t begin, std::size_t) {
                             if (begin % 2 == 1) throw std::runtime_error("chunk failed");
                             ++finished;
                           }),
               std::runtime_error);
  EXPECT_EQ(finished, 2);
}

}  // namespace
}  // namespace mira::typing::text
