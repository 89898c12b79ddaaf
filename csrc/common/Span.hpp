// A read-only view of consecutive elements that it does not own.
#pragma once

#include <cstddef>
#include <vector>

namespace mira::typing::text {

template <typename T>
class Span {
 public:
  Span() = default;
  Span(const T* data, std::size_t size) : data_(data), size_(size) {}
  template <typename Allocator>
  Span(const std::vector<T, Allocator>& values)  // NOLINT: implicit by design
      : data_(values.data()), size_(values.size()) {}

  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return data_[i]; }

 private:
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace mira::typing::text
