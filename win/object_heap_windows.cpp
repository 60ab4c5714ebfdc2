// The objects' own heap. Its first block of pages is committed when it is made and never given
// back, so parsing a large request reuses the same warm pages call after call. The heap is never
// destroyed, so that objects freed while the process ends still find it; it is made on first use
// only, so a DLL that never parses XML (the keystore provider) never makes one.
#include <windows.h>

#include "types/object_heap.h"

namespace kv::object_heap {

namespace {

// Enough for the nodes of two parsed 1,000-parameter requests, with room to spare.
constexpr SIZE_T committed_bytes = 2u << 20;

HANDLE heap() noexcept {
  static const HANDLE made = [] {
    const HANDLE own = HeapCreate(0, committed_bytes, 0);
    return own ? own : GetProcessHeap();
  }();
  return made;
}

}  // namespace

void* windows_heap() noexcept { return heap(); }

void* allocate(std::size_t bytes) noexcept { return HeapAlloc(heap(), 0, bytes); }
void release(void* block) noexcept { HeapFree(heap(), 0, block); }
std::size_t size(void* block) noexcept {
  const SIZE_T bytes = HeapSize(heap(), 0, block);
  return bytes == static_cast<SIZE_T>(-1) ? 0 : bytes;
}

}  // namespace kv::object_heap
