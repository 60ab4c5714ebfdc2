#pragma once
// Registry helpers of the server tests: scratch keys and a readable dump of a subtree.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "win/owners.h"

namespace server_test {

// Every key of the subtree below `root`\`path` as "Sub\Key", and every value as
// "Sub\Key\@ = text" (default value), "Sub\Key\Name = text" or "Sub\Key\Name = #123" (DWORD),
// sorted. Paths are relative to `path`. An absent key gives an empty list.
inline void dump_into(HKEY key, const std::wstring& prefix, std::vector<std::wstring>& lines) {
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD name_units = 16384;
    BYTE data[4096];
    DWORD data_bytes = sizeof data;
    DWORD type = 0;
    if (RegEnumValueW(key, index, name, &name_units, nullptr, &type, data, &data_bytes) != ERROR_SUCCESS) break;
    std::wstring line = prefix + (name_units ? std::wstring(name) : L"@") + L" = ";
    if (type == REG_SZ) {
      line += std::wstring(reinterpret_cast<const wchar_t*>(data), data_bytes / sizeof(wchar_t));
      while (!line.empty() && line.back() == L'\0') line.pop_back();
    } else if (type == REG_DWORD) {
      line += L"#" + std::to_wstring(*reinterpret_cast<const DWORD*>(data));
    } else {
      line += L"<type " + std::to_wstring(type) + L">";
    }
    lines.push_back(line);
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD name_units = 256;
    if (RegEnumKeyExW(key, index, name, &name_units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::wstring child = prefix + name;
    lines.push_back(child);
    kv::unique_hkey opened;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, opened.put()) == ERROR_SUCCESS) {
      dump_into(opened.get(), child + L"\\", lines);
    }
  }
}

inline std::vector<std::wstring> dump(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> lines;
  kv::unique_hkey key;
  if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return lines;
  dump_into(key.get(), L"", lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

inline bool key_exists(HKEY root, const std::wstring& path) {
  kv::unique_hkey key;
  return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A REG_SZ value; nullopt when the key or the value is missing or of another type.
inline std::optional<std::wstring> text_value(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t data[2048] = {};
  DWORD bytes = sizeof data - sizeof(wchar_t);
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

}  // namespace server_test
