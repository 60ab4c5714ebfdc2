#pragma once
// What the Windows benchmark programs share: a clock and the files beside the program (the
// tests' helper).
#include <windows.h>

#include <string>

#include "tests/support/beside_program.h"

namespace kv::bench {

// Microseconds from the performance counter.
inline double now_us() {
  static const double ticks_per_us = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e6;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / ticks_per_us;
}

inline double now_ms() { return now_us() / 1e3; }

using kv::test::beside_program;

}  // namespace kv::bench
