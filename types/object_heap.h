#pragma once
// Where object_alloc takes its blocks from: a heap of the system's own on Windows, the C
// runtime's heap elsewhere. Used by kv_alloc only, which counts and fails requests.
#include <cstddef>

namespace kv::object_heap {

void* allocate(std::size_t bytes) noexcept;
void release(void* block) noexcept;

}  // namespace kv::object_heap
