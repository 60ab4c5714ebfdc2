// main of a test program whose tests start second processes of the same program
// (tests/support/self_process.h): a child runs its role, everything else runs the tests.
#include <gtest/gtest.h>

#include "tests/support/self_process.h"

int main(int argc, char** argv) {
  const int child_result = kv::test::run_child_role_if_asked();
  if (child_result >= 0) return child_result;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
