#pragma once
// Runs a part of a test program as a second process of the same program, for tests that need a
// real other process (mutex holders, concurrent writers).
//
//   static kv::test::child_role holder(L"hold_mutex", [](const kv::test::child_args& args) { ... });
//   kv::test::child_process child(L"hold_mutex", {name});
//
// The program's main (child_main.cpp) runs the role named after "--as-child" instead of the
// tests. Children get no standard handles, so they never hold the test's output open, and a
// child still running when its owner goes out of scope is terminated.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/process_start.h"
#include "win/owners.h"

namespace kv::test {

using child_args = std::vector<std::wstring>;
using child_function = int (*)(const child_args& args);

inline std::map<std::wstring, child_function>& child_roles() {
  static std::map<std::wstring, child_function> roles;
  return roles;
}

struct child_role {
  child_role(const wchar_t* name, child_function function) { child_roles()[name] = function; }
};

// The exit code of the role when this process was started as a child, else -1.
inline int run_child_role_if_asked() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const kv::unique_local arguments(argv);
  if (!argv) return -1;
  if (count < 3 || std::wstring(argv[1]) != L"--as-child") return -1;
  auto role = child_roles().find(argv[2]);
  child_args args(argv + 3, argv + count);
  return role == child_roles().end() ? 99 : role->second(args);
}

class child_process {
 public:
  child_process(const wchar_t* role, const child_args& args) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --as-child " + role;
    for (const std::wstring& arg : args) command += L" \"" + arg + L"\"";
    PROCESS_INFORMATION info;
    std::string failure;
    if (start_process(self, command, nullptr, info, failure)) {
      process_.reset(info.hProcess);
      id_ = info.dwProcessId;
    } else {
      ADD_FAILURE() << failure;
    }
  }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;
  ~child_process() {
    if (!process_) return;
    if (WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 10000);
    }
  }

  bool started() const { return process_.is_valid(); }
  HANDLE handle() const { return process_.get(); }
  DWORD id() const { return id_; }
  // True when the child ended within `timeout_ms`.
  bool wait(DWORD timeout_ms) { return process_ && WaitForSingleObject(process_.get(), timeout_ms) == WAIT_OBJECT_0; }
  DWORD exit_code() const {
    DWORD code = STILL_ACTIVE;
    if (process_) GetExitCodeProcess(process_.get(), &code);
    return code;
  }

 private:
  unique_handle process_;
  DWORD id_ = 0;
};

// A named manual-reset event that parent and child open by the same name.
class named_event {
 public:
  explicit named_event(const std::wstring& name) : event_(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
  void set() { SetEvent(event_.get()); }
  bool wait(DWORD timeout_ms) { return event_ && WaitForSingleObject(event_.get(), timeout_ms) == WAIT_OBJECT_0; }
  HANDLE handle() const { return event_.get(); }

 private:
  unique_handle event_;
};

// A name unique to this test process, for mutexes and events of one test.
inline std::wstring unique_name(const wchar_t* stem) {
  static LONG counter = 0;
  return std::wstring(L"kv-test-") + stem + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(InterlockedIncrement(&counter));
}

}  // namespace kv::test
