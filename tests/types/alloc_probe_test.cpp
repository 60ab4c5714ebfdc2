#include "types/kv_alloc.h"

#include <gtest/gtest.h>

#include <new>

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

}  // namespace
