#pragma once
// Shared setup of the trace log tests: the real registry of the test's Wine prefix and the real
// trace file in its temporary folder, both cleaned before and after every test; the switch cache
// runs on a clock the test moves.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "trace/trace.h"
#include "win/owners.h"

namespace kv::test {

inline constexpr wchar_t switch_key[] = L"Software\\Orvane\\Keldra\\Logging";
inline constexpr wchar_t switch_value[] = L"EnableUserModeTrace";
inline constexpr wchar_t trace_lock_name[] = L"Local\\{D3D2B267-5CBA-451a-9F2E-E236A8060636}_KVA";

inline std::uint32_t fake_now = 0;
inline std::uint32_t fake_clock() { return fake_now; }

inline std::wstring temp_folder() {
  wchar_t folder[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, folder);
  return folder;
}
inline std::wstring trace_file_path() { return temp_folder() + L"TraceFile.kv"; }

// Writes the switch value under `root`\`prefix``switch_key`; `bytes` as given, of `type`.
inline void set_switch(HKEY root, const std::wstring& prefix, DWORD type, const void* bytes, DWORD size) {
  unique_hkey key;
  ASSERT_EQ(
      RegCreateKeyExW(root, (prefix + switch_key).c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr),
      ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key.get(), switch_value, 0, type, static_cast<const BYTE*>(bytes), size), ERROR_SUCCESS);
}
inline void set_switch_dword(DWORD value) { set_switch(HKEY_CURRENT_USER, L"", REG_DWORD, &value, sizeof value); }

inline std::vector<std::wstring> user_hives() {
  std::vector<std::wstring> hives;
  for (DWORD index = 0;; ++index) {
    wchar_t name[257];
    DWORD units = 257;
    if (RegEnumKeyExW(HKEY_USERS, index, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    hives.push_back(name);
  }
  return hives;
}

// Removes the switch from the user hive and whatever a test put under HKEY_LOCAL_MACHINE.
inline void remove_switches() {
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvane");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Orvane");
  for (const std::wstring& hive : user_hives()) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (hive + L"\\Software\\Orvane").c_str());
    // Only removed when empty, so nothing that was there before goes.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (hive + L"\\Software").c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, hive.c_str());
  }
}

inline bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::vector<unsigned char> read_bytes(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  const unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return bytes;
  unsigned char block[65536];
  DWORD got = 0;
  while (ReadFile(file.get(), block, sizeof block, &got, nullptr) && got) bytes.insert(bytes.end(), block, block + got);
  return bytes;
}

// The file's text after its byte-order mark (which must be there).
inline std::wstring read_trace_text() {
  const std::vector<unsigned char> bytes = read_bytes(trace_file_path());
  if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
    ADD_FAILURE() << "trace file missing or without byte-order mark (" << bytes.size() << " bytes)";
    return L"";
  }
  std::wstring text((bytes.size() - 2) / 2, L'\0');
  std::memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(wchar_t));
  return text;
}

// Splits the file's text into lines ("\n" kept), checks that each starts with the prefix
// "hh:mm:ss [pid] " of a plausible time and answers what follows it.
inline std::vector<std::wstring> lines_after_prefix(const std::wstring& text, DWORD pid = GetCurrentProcessId()) {
  std::vector<std::wstring> bodies;
  const std::wstring pid_part = L" [" + std::to_wstring(pid) + L"] ";
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L'\n', start);
    end = end == std::wstring::npos ? text.size() : end + 1;
    const std::wstring line = text.substr(start, end - start);
    start = end;
    const bool digits = line.size() > 8 && iswdigit(line[0]) && iswdigit(line[1]) && line[2] == L':' &&
                        iswdigit(line[3]) && iswdigit(line[4]) && line[5] == L':' && iswdigit(line[6]) &&
                        iswdigit(line[7]);
    if (!digits || line.compare(8, pid_part.size(), pid_part) != 0 || std::stoi(line.substr(0, 2)) > 23 ||
        std::stoi(line.substr(3, 2)) > 59 || std::stoi(line.substr(6, 2)) > 59) {
      ADD_FAILURE() << "line without a valid prefix: " << testing::PrintToString(line);
      continue;
    }
    bodies.push_back(line.substr(8 + pid_part.size()));
  }
  return bodies;
}

// "%4d" of a process or thread id, as in the line heads.
inline std::wstring padded(DWORD id) {
  std::wstring digits = std::to_wstring(id);
  return digits.size() < 4 ? std::wstring(4 - digits.size(), L' ') + digits : digits;
}
inline std::wstring head() {
  return L"P:" + padded(GetCurrentProcessId()) + L",T:" + padded(GetCurrentThreadId()) + L" ";
}

class trace_log : public testing::Test {
 protected:
  void SetUp() override {
    remove_switches();
    DeleteFileW(trace_file_path().c_str());
    fake_now = 100000;
    trace_seam::set_clock(fake_clock);
    trace_seam::reset_cache();
  }
  void TearDown() override {
    remove_switches();
    DeleteFileW(trace_file_path().c_str());
    trace_seam::set_clock(nullptr);
    trace_seam::reset_cache();
  }
};

}  // namespace kv::test
