#pragma once
// Where object_alloc takes its blocks from: a heap of the system's own on Windows, the C
// runtime's heap elsewhere. Used by kv_alloc only, which counts and fails requests (and by the
// tests that look for leaks on that heap).
#include <malloc.h>

#include <cstddef>

namespace kv::object_heap {

void* allocate(std::size_t bytes) noexcept;
void release(void* block) noexcept;
// The bytes a block spans: at least what was asked for.
std::size_t size(void* block) noexcept;

#ifdef _WIN32
// The Windows heap the blocks come from (a HANDLE), for a leak check that walks it.
void* windows_heap() noexcept;
#endif

// The bytes a block of the C runtime's heap spans.
inline std::size_t runtime_block_size(void* block) noexcept {
#ifdef _WIN32
  return _msize(block);
#else
  return malloc_usable_size(block);
#endif
}

}  // namespace kv::object_heap
