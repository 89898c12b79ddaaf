// LocalVector: a vector of trivially copyable elements whose first 16 live
// inline, so short sentences and candidate lists need no heap allocation.
//
// Invariant: data == buffer (capacity kLocalVectorBufferSize) or data is a
// malloc'ed block of capacity elements owned by this vector.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace mira::typing::text::limonp {

constexpr size_t kLocalVectorBufferSize = 16;

template <class T>
class LocalVector {
  static_assert(std::is_trivially_copyable<T>::value, "LocalVector moves elements with memcpy");

 public:
  using value_type = T;
  using size_type = size_t;
  using iterator = T*;
  using const_iterator = const T*;
  using reference = T&;
  using const_reference = const T&;

  LocalVector() : data(buffer), size_(0), capacity(kLocalVectorBufferSize) {}
  LocalVector(const T* first, const T* last) : LocalVector() {
    reserve(static_cast<size_t>(last - first));
    for (; first != last; ++first) push_back(*first);
  }
  LocalVector(const LocalVector& other) : LocalVector() { *this = other; }
  LocalVector(LocalVector&& other) noexcept : LocalVector() { swap(other); }
  ~LocalVector() { release(); }

  LocalVector& operator=(const LocalVector& other) {
    if (this == &other) return *this;
    clear();
    reserve(other.capacity);
    std::memcpy(static_cast<void*>(data), other.data, other.size_ * sizeof(T));
    size_ = other.size_;
    return *this;
  }
  LocalVector& operator=(LocalVector&& other) noexcept {
    if (this != &other) {
      clear();
      swap(other);
    }
    return *this;
  }

  // Empties the vector and returns to the inline buffer.
  void clear() {
    release();
    data = buffer;
    size_ = 0;
    capacity = kLocalVectorBufferSize;
  }

  // Grows storage to hold at least n elements; never shrinks.
  void reserve(size_t n) {
    if (n <= capacity) return;
    T* next = static_cast<T*>(std::malloc(n * sizeof(T)));
    if (next == nullptr) throw std::bad_alloc();
    std::memcpy(static_cast<void*>(next), data, size_ * sizeof(T));
    release();
    data = next;
    capacity = n;
  }

  void push_back(const T& value) {
    if (size_ == capacity) {
      T copy = value;  // value may live in the storage being replaced
      reserve(capacity * 2);
      data[size_++] = copy;
      return;
    }
    data[size_++] = value;
  }
  void pop_back() { --size_; }

  T& operator[](size_t i) { return data[i]; }
  const T& operator[](size_t i) const { return data[i]; }
  T& back() { return data[size_ - 1]; }
  const T& back() const { return data[size_ - 1]; }
  T* begin() { return data; }
  T* end() { return data + size_; }
  const T* begin() const { return data; }
  const T* end() const { return data + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Number of elements the current storage holds; 16 while inline.
  size_t Capacity() const { return capacity; }
  bool IsInline() const { return data == buffer; }

  bool operator==(const LocalVector& other) const {
    if (size_ != other.size_) return false;
    for (size_t i = 0; i < size_; ++i) {
      if (!(data[i] == other.data[i])) return false;
    }
    return true;
  }
  bool operator!=(const LocalVector& other) const { return !(*this == other); }

 private:
  void release() {
    if (data != buffer) std::free(data);
  }
  void swap(LocalVector& other) noexcept {
    // Inline contents must be copied; heap blocks simply change hands.
    LocalVector* from = &other;
    if (from->data == from->buffer) {
      std::memcpy(static_cast<void*>(buffer), from->buffer, from->size_ * sizeof(T));
      data = buffer;
    } else {
      data = from->data;
    }
    size_ = from->size_;
    capacity = from->capacity;
    from->data = from->buffer;
    from->size_ = 0;
    from->capacity = kLocalVectorBufferSize;
  }

  T buffer[kLocalVectorBufferSize];
  T* data;
  size_t size_;
  size_t capacity;
};

}  // namespace mira::typing::text::limonp
