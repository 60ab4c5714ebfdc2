#pragma once
// A standard allocator over kv::mem_alloc_or_throw that zeroes each block before it goes back,
// also when a growing container moves to a larger block: for buffers that may hold passwords,
// key material or file contents.
#include <windows.h>

#include <cstddef>
#include <new>

#include "types/kv_alloc.h"

namespace kv {

template <class T>
struct wiping_allocator {
  using value_type = T;
  wiping_allocator() noexcept = default;
  template <class U>
  wiping_allocator(const wiping_allocator<U>&) noexcept {}
  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(mem_alloc_or_throw(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t count) noexcept {
    SecureZeroMemory(block, count * sizeof(T));
    mem_free(block);
  }
  template <class U>
  bool operator==(const wiping_allocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace kv
