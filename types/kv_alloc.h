#pragma once
// The one way the system's own code gets heap memory, so that a test can make the n-th
// allocation fail and a benchmark can count allocations.
#include <cstddef>
#include <cstdint>
#include <new>

namespace kv {

// malloc/realloc/free, except that an armed failure injection makes them answer null.
void* mem_alloc(std::size_t bytes) noexcept;
void* mem_realloc(void* block, std::size_t bytes) noexcept;
void mem_free(void* block) noexcept;

// The same, throwing std::bad_alloc instead of answering null.
void* mem_alloc_or_throw(std::size_t bytes);

// Memory for the system's own objects: blocks that only the system frees again, with
// object_free, never a caller with free() (XML nodes; a saved document text, which callers give
// back through the document's free_text). On Windows they come from a heap of their own whose
// first megabytes stay committed, so that a large request does not make the C runtime's heap
// grow and give its pages back on every call (under Wine each such cycle costs fresh pages,
// several times the work of parsing). Counted and failed like mem_alloc.
// These blocks hold request text (names, values, the request itself) and that heap keeps its
// pages for the life of the process, so object_free zeroes the whole block before releasing it.
void* object_alloc(std::size_t bytes) noexcept;
void* object_alloc_or_throw(std::size_t bytes);
void object_free(void* block) noexcept;
// For a block that never holds text (a table of pointers, a document's header): released
// without the wipe.
void object_free_plain(void* block) noexcept;

// Zeroes `bytes` bytes at `block` in a way the optimiser cannot drop, even when it sees the
// block freed right after.
void secure_wipe(void* block, std::size_t bytes) noexcept;

// For allocators outside this file (SysAllocStringLen, for instance): counts one request and
// answers true when the armed failure injection says this one is to fail.
bool mem_injected_failure() noexcept;

// Test and benchmark seam. Process-wide, not meant for concurrent use.
struct alloc_probe {
  // The allocation after `successes` more successful ones fails, and every later one too
  // until disarm(). fail_after(0) fails the very next allocation.
  static void fail_after(std::int64_t successes) noexcept;
  static void disarm() noexcept;
  // Allocations (alloc and realloc) requested since the last reset, failed ones included;
  // exact for one thread, approximate when several allocate at once.
  static std::uint64_t count() noexcept;
  static void reset_count() noexcept;
  // Called with each block that mem_free or object_free is about to release, while it is still
  // valid, and the bytes it spans, so that a test can see what the block held at that moment
  // (after object_free's wipe). Null stops the observing.
  static void observe_frees(void (*observer)(const void* block, std::size_t bytes)) noexcept;
};

// A standard allocator over mem_alloc_or_throw, so that container memory obeys the allocation
// seam like every other buffer of the system.
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
