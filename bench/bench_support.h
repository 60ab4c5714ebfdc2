#pragma once
// What the Windows benchmark programs share: a clock and the files beside the program.
#include <windows.h>

#include <string>

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

// The full path of `name` in the program's own folder.
inline std::wstring beside_program(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + name;
}

}  // namespace kv::bench
