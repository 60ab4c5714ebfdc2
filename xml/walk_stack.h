#pragma once
// A small stack for the tree walks, so that no walk recurses once per level: the first entries
// live in the object, the rest on the heap (through the allocation seam; failure throws
// std::bad_alloc). T must be trivially copyable.
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>

#include "types/kv_alloc.h"

namespace kvxml {

template <typename T>
class walk_stack {
  static_assert(std::is_trivially_copyable_v<T>, "walk_stack holds plain values");

 public:
  walk_stack() noexcept = default;
  walk_stack(const walk_stack&) = delete;
  walk_stack& operator=(const walk_stack&) = delete;
  ~walk_stack() {
    if (items_ != local_) kv::mem_free(items_);
  }

  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }
  T& top() noexcept { return items_[size_ - 1]; }
  T* data() noexcept { return items_; }  // the entries from the bottom up
  T pop() noexcept { return items_[--size_]; }
  void push(const T& item) {
    if (size_ == capacity_) enlarge();
    items_[size_++] = item;
  }

 private:
  void enlarge() {
    std::size_t capacity = capacity_ * 2;
    if (capacity > static_cast<std::size_t>(-1) / 2 / sizeof(T)) throw std::bad_alloc();
    T* items;
    if (items_ == local_) {
      items = static_cast<T*>(kv::mem_alloc_or_throw(capacity * sizeof(T)));
      std::memcpy(static_cast<void*>(items), local_, size_ * sizeof(T));
    } else {
      items = static_cast<T*>(kv::mem_realloc(items_, capacity * sizeof(T)));
      if (!items) throw std::bad_alloc();
    }
    items_ = items;
    capacity_ = capacity;
  }

  static constexpr std::size_t local_capacity = 32;
  T local_[local_capacity];
  T* items_ = local_;
  std::size_t size_ = 0;
  std::size_t capacity_ = local_capacity;
};

}  // namespace kvxml
