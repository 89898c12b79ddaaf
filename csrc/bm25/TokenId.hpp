// Stable 32-bit token ids for sparse-vector stores, which index dimensions
// by unsigned 32-bit integers rather than by strings.
//
// TokenId(token) is MurmurHash3 x86_32 (seed 0) of the token's bytes, taken
// modulo 2^32 - 1 so that 0xFFFFFFFF, which such stores reserve, never
// occurs. The value depends on the bytes alone: it is the same on every
// platform, byte order, compiler and run.
//
// Thread safety: free functions over their arguments; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace mira::typing::text {

// Largest id a sparse index accepts; TokenId never exceeds it.
inline constexpr uint32_t kMaxTokenId = 0xFFFFFFFEu;

// MurmurHash3 x86_32 of `data` with `seed`, bytes read little-endian.
uint32_t Murmur3_32(std::string_view data, uint32_t seed = 0);

// The token's id: Murmur3_32(token, 0) mod (2^32 - 1).
uint32_t TokenId(std::string_view token);

using IdWeight = std::pair<uint32_t, double>;

// Sorts by id and adds the weights of equal ids in their input order, so
// colliding tokens share one dimension whose weight is their sum.
std::vector<IdWeight> SumById(const std::vector<IdWeight>& entries);

// Sparse rows keyed by token id in compressed-row form, the layout of sparse
// matrix libraries and, row by row, of sparse vector stores: row r is
// indices[indptr[r], indptr[r + 1]) with the matching data, ids ascending
// and distinct, weights rounded to float.
struct IdRows {
  std::vector<int64_t> indptr{0};
  std::vector<uint32_t> indices;
  std::vector<float> data;

  size_t rows() const { return indptr.size() - 1; }
  // Appends SumById(entries) as one row; each sum is rounded once.
  void Append(const std::vector<IdWeight>& entries);
};

}  // namespace mira::typing::text
