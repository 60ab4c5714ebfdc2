// Outside Windows the objects share the C runtime's heap.
#include <cstdlib>

#include "types/object_heap.h"

namespace kv::object_heap {

void* allocate(std::size_t bytes) noexcept { return std::malloc(bytes); }
void release(void* block) noexcept { std::free(block); }
std::size_t size(void* block) noexcept { return runtime_block_size(block); }

}  // namespace kv::object_heap
