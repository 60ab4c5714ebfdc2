#include "kv_alloc.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "types/object_heap.h"

namespace kv {
namespace {

std::atomic<std::int64_t> successes_left{-1};  // -1: disarmed
std::atomic<std::uint64_t> requests{0};
std::atomic<void (*)(const void*, std::size_t)> free_observer{nullptr};

bool take_request() noexcept {
  // A plain load and store, not an atomic increment: this runs on every allocation, and the
  // probe is only read by single-threaded tests and benchmarks (concurrent counts may be lost).
  requests.store(requests.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  std::int64_t left = successes_left.load(std::memory_order_relaxed);
  if (left < 0) return false;
  if (left == 0) return true;
  successes_left.store(left - 1, std::memory_order_relaxed);
  return false;
}

// A call through a volatile pointer: the compiler cannot know it is memset, so it cannot drop it
// as a store to memory that is about to be freed.
void* (*const volatile wipe_bytes)(void*, int, std::size_t) = std::memset;

}  // namespace

void* mem_alloc(std::size_t bytes) noexcept {
  if (take_request()) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

void* mem_realloc(void* block, std::size_t bytes) noexcept {
  if (take_request()) return nullptr;
  return std::realloc(block, bytes == 0 ? 1 : bytes);
}

void secure_wipe(void* block, std::size_t bytes) noexcept {
  if (block && bytes) wipe_bytes(block, 0, bytes);
}

void mem_free(void* block) noexcept {
  if (block) {
    if (auto observer = free_observer.load(std::memory_order_relaxed)) observer(block, object_heap::runtime_block_size(block));
  }
  std::free(block);
}

void* object_alloc(std::size_t bytes) noexcept {
  if (take_request()) return nullptr;
  return object_heap::allocate(bytes == 0 ? 1 : bytes);
}

void* object_alloc_or_throw(std::size_t bytes) {
  void* block = object_alloc(bytes);
  if (!block) throw std::bad_alloc();
  return block;
}

void object_free(void* block) noexcept {
  if (!block) return;
  const std::size_t bytes = object_heap::size(block);
  secure_wipe(block, bytes);
  if (auto observer = free_observer.load(std::memory_order_relaxed)) observer(block, bytes);
  object_heap::release(block);
}

void object_free_plain(void* block) noexcept {
  if (!block) return;
  if (auto observer = free_observer.load(std::memory_order_relaxed)) observer(block, object_heap::size(block));
  object_heap::release(block);
}

bool mem_injected_failure() noexcept { return take_request(); }

void* mem_alloc_or_throw(std::size_t bytes) {
  void* block = mem_alloc(bytes);
  if (!block) throw std::bad_alloc();
  return block;
}

void alloc_probe::fail_after(std::int64_t successes) noexcept {
  successes_left.store(successes < 0 ? 0 : successes, std::memory_order_relaxed);
}
void alloc_probe::disarm() noexcept { successes_left.store(-1, std::memory_order_relaxed); }
std::uint64_t alloc_probe::count() noexcept { return requests.load(std::memory_order_relaxed); }
void alloc_probe::reset_count() noexcept { requests.store(0, std::memory_order_relaxed); }
void alloc_probe::observe_frees(void (*observer)(const void* block, std::size_t bytes)) noexcept {
  free_observer.store(observer, std::memory_order_relaxed);
}

}  // namespace kv
