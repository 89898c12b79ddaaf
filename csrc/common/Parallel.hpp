// Splitting a loop over [0, n) across a few short-lived threads.
//
// Thread safety: ParallelFor may be called from any thread; the body must be
// safe to run on disjoint ranges at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace mira::typing::text {

// The number of threads to use for a requested count: 0 means one per
// hardware thread (at least one), a positive count is taken as given.
// Throws std::invalid_argument for a negative count.
inline unsigned ResolveThreads(int threads) {
  if (threads < 0) throw std::invalid_argument("threads must not be negative");
  if (threads > 0) return static_cast<unsigned>(threads);
  return std::max(1u, std::thread::hardware_concurrency());
}

// Below this many bytes of text, work is done on the calling thread alone:
// starting threads costs about what they save (64 short texts took about 1.25
// times as long on two threads as on one, 256 texts 0.9 times).
inline constexpr std::size_t kThreadedTextBytes = std::size_t{8} << 10;

// The threads worth using for `bytes` of text when `threads` are allowed.
inline unsigned ThreadsForText(unsigned threads, std::size_t bytes) {
  return bytes < kThreadedTextBytes ? 1u : threads;
}

// Calls body(begin, end) once per chunk on consecutive, disjoint chunks that
// cover [0, n), at most `threads` chunks of at least `grain` items each.
// The chunks differ in size by at most one item and the split depends only on
// n, threads and grain. With one chunk the body runs on the calling thread
// alone; otherwise the calling thread runs the first chunk and one new thread
// runs each other chunk (the calling thread takes over a chunk whose thread
// cannot be started). Returns once every chunk has finished; if bodies threw,
// rethrows the first exception caught.
template <typename Body>
void ParallelFor(std::size_t n, unsigned threads, Body&& body, std::size_t grain = 1) {
  if (n == 0) return;
  const std::size_t most = std::max<std::size_t>(1, n / std::max<std::size_t>(1, grain));
  const std::size_t chunks = std::min<std::size_t>(std::max(1u, threads), most);
  if (chunks == 1) {
    body(std::size_t{0}, n);
    return;
  }
  auto bound = [n, chunks](std::size_t c) {
    return c * (n / chunks) + std::min(c, n % chunks);
  };
  std::mutex mutex;
  std::exception_ptr first;
  auto run = [&](std::size_t c) noexcept {
    try {
      body(bound(c), bound(c + 1));
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!first) first = std::current_exception();
    }
  };
  std::vector<std::thread> workers;
  std::size_t started = 1;
  try {
    workers.reserve(chunks - 1);
    for (; started < chunks; ++started) workers.emplace_back(run, started);
  } catch (...) {
    // Out of threads or memory: the rest runs here.
  }
  run(0);
  for (std::size_t c = started; c < chunks; ++c) run(c);
  for (std::thread& worker : workers) worker.join();
  if (first) std::rethrow_exception(first);
}

}  // namespace mira::typing::text
