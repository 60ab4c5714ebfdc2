#include "types/kv_alloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

struct probe_guard {
  ~probe_guard() { kv::alloc_probe::disarm(); }
};

TEST(alloc_probe, fails_exactly_the_nth_allocation_and_later_ones) {
  probe_guard guard;
  kv::alloc_probe::fail_after(2);
  void* first = kv::mem_alloc(8);
  void* second = kv::mem_realloc(nullptr, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(kv::mem_alloc(8), nullptr);
  EXPECT_EQ(kv::mem_alloc(8), nullptr);
  EXPECT_THROW(kv::mem_alloc_or_throw(8), std::bad_alloc);
  kv::alloc_probe::disarm();
  void* third = kv::mem_alloc(8);
  EXPECT_NE(third, nullptr);
  kv::mem_free(first);
  kv::mem_free(second);
  kv::mem_free(third);
}

TEST(alloc_probe, counts_requests_including_failed_ones) {
  probe_guard guard;
  kv::alloc_probe::reset_count();
  kv::alloc_probe::fail_after(0);
  EXPECT_EQ(kv::mem_alloc(4), nullptr);
  kv::alloc_probe::disarm();
  void* block = kv::mem_realloc(nullptr, 4);
  EXPECT_EQ(kv::alloc_probe::count(), 2u);
  kv::mem_free(block);
}

const void* last_freed = nullptr;
std::size_t last_freed_bytes = 0;
bool last_freed_zeroed = false;
void note_free(const void* block, std::size_t bytes) {
  last_freed = block;
  last_freed_bytes = bytes;
  const auto* units = static_cast<const unsigned char*>(block);
  last_freed_zeroed = std::all_of(units, units + bytes, [](unsigned char u) { return u == 0; });
}

TEST(alloc_probe, object_blocks_are_counted_failed_observed_and_wiped) {
  probe_guard guard;
  kv::alloc_probe::reset_count();
  kv::alloc_probe::fail_after(1);
  void* object = kv::object_alloc(24);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(kv::object_alloc(24), nullptr);
  EXPECT_THROW(kv::object_alloc_or_throw(24), std::bad_alloc);
  EXPECT_EQ(kv::alloc_probe::count(), 3u);
  kv::alloc_probe::disarm();

  std::memset(object, 'p', 24);
  kv::alloc_probe::observe_frees(note_free);
  kv::object_free(object);
  kv::alloc_probe::observe_frees(nullptr);
  EXPECT_EQ(last_freed, object);
  EXPECT_GE(last_freed_bytes, 24u);
  EXPECT_TRUE(last_freed_zeroed);  // the whole block, before it went back
  kv::object_free(nullptr);  // ignored, like free(nullptr)
}

// Blocks of very different sizes stay apart and keep what was written into them, however their
// allocations and frees interleave (the objects' heap is separate from the C runtime's).
TEST(alloc_probe, object_blocks_of_mixed_sizes_keep_their_contents) {
  std::vector<unsigned char*> blocks;
  const std::size_t sizes[] = {1, 0, 40, 4096, 200000, 64, 3u << 20};
  for (int round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      auto* block = static_cast<unsigned char*>(kv::object_alloc_or_throw(sizes[i]));
      std::memset(block, static_cast<int>(blocks.size() & 0xFF), sizes[i] ? sizes[i] : 1);
      blocks.push_back(block);
    }
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
      kv::object_free(blocks[i]);
      blocks[i] = nullptr;
    }
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (!blocks[i]) continue;
    const std::size_t size = sizes[i % std::size(sizes)];
    for (std::size_t at : {std::size_t{0}, (size ? size : 1) - 1}) {
      EXPECT_EQ(blocks[i][at], static_cast<unsigned char>(i & 0xFF)) << "block " << i;
    }
    kv::object_free(blocks[i]);
  }
}

}  // namespace
