#pragma once
// The full path of a file that the build copies beside the running test or benchmark program.
#include <windows.h>

#include <string>

namespace kv::test {

inline std::wstring beside_program(const wchar_t* name) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self);
  path.resize(path.find_last_of(L"\\/") + 1);
  return path + name;
}

}  // namespace kv::test
