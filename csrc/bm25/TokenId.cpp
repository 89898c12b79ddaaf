#include "bm25/TokenId.hpp"

#include <algorithm>
#include <utility>

namespace mira::typing::text {
namespace {

constexpr uint32_t Rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// Byte by byte, so the result does not depend on the host's byte order or alignment.
uint32_t LoadLittleEndian(const unsigned char* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

uint32_t Murmur3_32(std::string_view data, uint32_t seed) {
  constexpr uint32_t c1 = 0xcc9e2d51u;
  constexpr uint32_t c2 = 0x1b873593u;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const size_t length = data.size();
  const size_t blocks = length / 4;

  uint32_t h = seed;
  for (size_t i = 0; i < blocks; ++i) {
    uint32_t k = LoadLittleEndian(bytes + 4 * i);
    k *= c1;
    k = Rotl(k, 15);
    k *= c2;
    h ^= k;
    h = Rotl(h, 13);
    h = h * 5 + 0xe6546b64u;
  }

  const unsigned char* tail = bytes + 4 * blocks;
  uint32_t k = 0;
  switch (length & 3) {
    case 3:
      k ^= uint32_t{tail[2]} << 16;
      [[fallthrough]];
    case 2:
      k ^= uint32_t{tail[1]} << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = Rotl(k, 15);
      k *= c2;
      h ^= k;
  }

  // The reference mixes in the length as a 32-bit value.
  h ^= static_cast<uint32_t>(length);
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

uint32_t TokenId(std::string_view token) {
  const uint32_t h = Murmur3_32(token, 0);
  return h == 0xFFFFFFFFu ? 0u : h;  // h mod (2^32 - 1)
}

namespace {

// Calls emit(id, sum) for each distinct id of entries, ids ascending, each
// sum adding the weights of that id in input order (so that sums are
// reproducible): the entries' places are sorted by (id, place), which needs
// no copy of the entries. Per thread and reused: a batch sums one row per
// document.
template <typename Emit>
void ForEachIdSum(const std::vector<IdWeight>& entries, Emit&& emit) {
  thread_local std::vector<uint64_t> order;
  order.resize(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    order[i] = uint64_t{entries[i].first} << 32 | static_cast<uint32_t>(i);
  }
  std::sort(order.begin(), order.end());
  for (size_t k = 0; k < order.size();) {
    const uint32_t id = static_cast<uint32_t>(order[k] >> 32);
    double sum = entries[static_cast<uint32_t>(order[k])].second;
    for (++k; k < order.size() && static_cast<uint32_t>(order[k] >> 32) == id; ++k) {
      sum += entries[static_cast<uint32_t>(order[k])].second;
    }
    emit(id, sum);
  }
}

}  // namespace

std::vector<IdWeight> SumById(const std::vector<IdWeight>& entries) {
  std::vector<IdWeight> out;
  out.reserve(entries.size());
  ForEachIdSum(entries, [&out](uint32_t id, double sum) { out.emplace_back(id, sum); });
  return out;
}

void IdRows::Append(const std::vector<IdWeight>& entries) {
  ForEachIdSum(entries, [this](uint32_t id, double sum) {
    indices.push_back(id);
    data.push_back(static_cast<float>(sum));
  });
  indptr.push_back(static_cast<int64_t>(indices.size()));
}

}  // namespace mira::typing::text
