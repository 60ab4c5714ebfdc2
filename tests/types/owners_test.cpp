#include "types/owners.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

std::vector<int>& closed() {
  static std::vector<int> values;
  return values;
}
// Closes like an OS call that fails: it leaves its own last-error value behind.
void close_int(int value) noexcept {
  closed().push_back(value);
  SetLastError(ERROR_INVALID_HANDLE);
}
int minus_one() noexcept { return -1; }
using unique_int = kv::unique_any<int, close_int, minus_one>;

TEST(owners, close_once_and_keep_last_error) {
  closed().clear();
  {
    unique_int a(3);
    unique_int b(std::move(a));
    EXPECT_FALSE(a.is_valid());
    SetLastError(1234);
  }
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(closed(), std::vector<int>{3});
}

TEST(owners, put_closes_the_old_value_first) {
  closed().clear();
  unique_int owner(5);
  int* slot = owner.put();
  EXPECT_EQ(closed(), std::vector<int>{5});
  EXPECT_EQ(*slot, -1);
  *slot = 6;
  EXPECT_EQ(owner.get(), 6);
  EXPECT_EQ(owner.release(), 6);
  EXPECT_EQ(closed(), std::vector<int>{5});
  owner.reset(7);
  owner = unique_int(8);
  EXPECT_EQ(closed(), (std::vector<int>{5, 7}));
}

TEST(owners, handle_owner_closes_the_handle) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  DWORD flags = 0;
  {
    kv::unique_handle event(raw);
    EXPECT_TRUE(GetHandleInformation(event.get(), &flags));
  }
  EXPECT_FALSE(GetHandleInformation(raw, &flags));
  kv::unique_file none;
  EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
}

}  // namespace
