#pragma once
// Starting another program for a test or a benchmark, with a precise account when that fails:
// the error, its text, the program, the command line and the working folder.
#include <windows.h>

#include <string>
#include <utility>

#include "win/owners.h"

namespace kv::test {

// The system's message text for `code` as FormatMessageW gives it (line end included), or empty.
inline std::wstring system_message(DWORD code) {
  unique_local text;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  return text ? static_cast<const wchar_t*>(text.get()) : L"";
}

inline std::string narrow(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

// "CreateProcessW failed with error 2 (The system cannot find the file specified.); program "...",
// command line "...", working folder "..."".
inline std::string start_failure(const std::wstring& program, const std::wstring& command_line, DWORD error) {
  std::wstring reason = system_message(error);
  if (reason.empty()) reason = L"no text";
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r')) reason.pop_back();
  wchar_t folder[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, folder);
  return "CreateProcessW failed with error " + std::to_string(error) + " (" + narrow(reason) + "); program \"" +
         narrow(program) + "\", command line \"" + narrow(command_line) + "\", working folder \"" + narrow(folder) +
         "\"";
}

// CreateProcessW of `program` without a window (or, with DETACHED_PROCESS for `creation`, without
// a console); `output` (may be null) becomes the standard output and error, `input` (may be null)
// the standard input, and they are the only handles inherited. False with `failure` filled when it
// cannot start.
inline bool start_process(const std::wstring& program, std::wstring command_line, HANDLE output,
                          PROCESS_INFORMATION& info, std::string& failure, HANDLE input = nullptr,
                          DWORD creation = CREATE_NO_WINDOW) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  // Wine 8 on a loaded machine now and then answers ERROR_INTERNAL_ERROR (1359) for a start that
  // goes through a moment later (seen once in 136 starts of the crash test beside other tests);
  // nothing was started then, so the start is made again, twice at most.
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(200);
    info = {};
    if (CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, output || input, creation, nullptr,
                       nullptr, &startup, &info)) {
      const kv::unique_handle thread(std::exchange(info.hThread, nullptr));  // the caller needs only the process
      return true;
    }
    error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR) break;
  }
  failure = start_failure(program, command_line, error);
  return false;
}

}  // namespace kv::test
