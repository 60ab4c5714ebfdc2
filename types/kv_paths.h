#pragma once
// KV_paths: an ordered list of paths, each entry a full copy (item list included).
#include <cstddef>
#include <list>
#include <new>

#include "types/kv_alloc.h"
#include "types/kv_path.h"

namespace kv {
// A standard allocator over kv::mem_alloc_or_throw, so that container nodes obey the
// allocation seam like every other buffer of the system.
template <class T>
struct mem_allocator {
  using value_type = T;
  mem_allocator() noexcept = default;
  template <class U>
  mem_allocator(const mem_allocator<U>&) noexcept {}
  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(mem_alloc_or_throw(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t) noexcept { mem_free(block); }
  template <class U>
  bool operator==(const mem_allocator<U>&) const noexcept {
    return true;
  }
};
}  // namespace kv

class KV_paths : public std::list<KV_path, kv::mem_allocator<KV_path>> {
 public:
  KV_paths() = default;
  // From a multi-string: NUL-terminated texts ended by an empty text (a double NUL). Each text
  // before the empty one becomes a path, in order; null gives an empty list.
  explicit KV_paths(const wchar_t* multi_string);
  KV_paths(const KV_paths&) = default;
  KV_paths(KV_paths&&) = default;
  KV_paths& operator=(const KV_paths&) = default;
  KV_paths& operator=(KV_paths&&) = default;
  virtual ~KV_paths();
};
