#pragma once
// The real DoDadev.exe in the test's Wine prefix: starting and ending it, reading what it traced,
// cleaning its registration. The build copies DoDadev.exe and recording_provider.dll beside the
// test program (the client tests add dodadev-call.exe, the keystore providers and fixtures).
#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "registry_dump.h"
#include "tests/support/beside_program.h"
#include "tests/support/process_start.h"
#include "tests/support/unique_module.h"
#include "tests/trace/trace_fixture.h"
#include "win/owners.h"

namespace e2e {

inline constexpr wchar_t clsid_text[] = L"{01B5C31E-59A2-4194-9DCC-05F6FE00F066}";
inline constexpr wchar_t app_id_text[] = L"{C6971B38-4C39-4685-86CE-F210381E3137}";
inline constexpr wchar_t libid_text[] = L"{C3E908A9-545E-4133-ACE2-F88A322B4885}";
inline constexpr wchar_t iid_text[] = L"{C717315F-F58C-4DBD-82D2-92613CDCA5B0}";
inline constexpr wchar_t machine_classes[] = L"Software\\Classes";
inline constexpr wchar_t user_classes[] = L"Software\\Classes";

inline std::wstring beside(const wchar_t* name) { return kv::test::beside_program(name); }
inline std::wstring server_exe() { return beside(L"DoDadev.exe"); }

inline bool running_on_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Every key of the server's registration, relative to a classes root.
inline std::vector<std::wstring> registration_keys() {
  return {std::wstring(L"AppID\\") + app_id_text,
          L"AppID\\DoDadev.EXE",
          L"DoDadev.LU_proxy_disp.1",
          L"DoDadev.LU_proxy_disp",
          std::wstring(L"CLSID\\") + clsid_text,
          std::wstring(L"TypeLib\\") + libid_text,
          std::wstring(L"Interface\\") + iid_text};
}

inline void remove_registrations() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    for (const std::wstring& key : registration_keys()) {
      RegDeleteTreeW(root, (std::wstring(machine_classes) + L"\\" + key).c_str());
    }
  }
}

// The names of the subkeys of root\path: what a registration could add beside existing keys.
inline std::set<std::wstring> subkey_names(HKEY root, const std::wstring& path) {
  std::set<std::wstring> names;
  kv::unique_hkey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD units = 256;
    if (RegEnumKeyExW(key.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.insert(name);
  }
  return names;
}

// The names under a classes root where the scripts write: the root itself, AppID and CLSID.
struct classes_snapshot {
  std::set<std::wstring> top, app_ids, classes;
  bool operator==(const classes_snapshot& other) const {
    return top == other.top && app_ids == other.app_ids && classes == other.classes;
  }
};
inline classes_snapshot snapshot(HKEY root) {
  const std::wstring base = machine_classes;
  return {subkey_names(root, base), subkey_names(root, base + L"\\AppID"), subkey_names(root, base + L"\\CLSID")};
}

// Lines of the trace file written by process `pid`, without their time and process prefix.
inline std::vector<std::wstring> trace_lines_of(DWORD pid) {
  std::vector<std::wstring> lines;
  if (!kv::test::file_exists(kv::test::trace_file_path())) return lines;
  const std::vector<unsigned char> bytes = kv::test::read_bytes(kv::test::trace_file_path());
  if (bytes.size() < 2) return lines;
  std::wstring text((bytes.size() - 2) / 2, L'\0');
  std::memcpy(text.data(), bytes.data() + 2, text.size() * sizeof(wchar_t));
  const std::wstring marker = L" [" + std::to_wstring(pid) + L"] ";
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(L'\n', start);
    end = end == std::wstring::npos ? text.size() : end + 1;
    const std::wstring line = text.substr(start, end - start);
    start = end;
    if (line.size() > 8 + marker.size() && line.compare(8, marker.size(), marker) == 0) {
      lines.push_back(line.substr(8 + marker.size()));
    }
  }
  return lines;
}

inline int count_lines(DWORD pid, const std::wstring& part) {
  int count = 0;
  for (const std::wstring& line : trace_lines_of(pid)) count += line.find(part) != std::wstring::npos;
  return count;
}

// The main thread that process `pid` traced ("thread = N"); 0 while it has not.
inline DWORD traced_main_thread(DWORD pid) {
  const std::wstring marker = L"CDoDadevModule::PreMessageLoop[0](thread = ";
  for (const std::wstring& line : trace_lines_of(pid)) {
    const std::size_t at = line.find(marker);
    if (at != std::wstring::npos) return static_cast<DWORD>(std::stoul(line.substr(at + marker.size())));
  }
  return 0;
}

// Processes of this prefix that traced a "thread = N" line, by process id.
inline std::set<DWORD> traced_servers() {
  std::set<DWORD> pids;
  if (!kv::test::file_exists(kv::test::trace_file_path())) return pids;
  const std::wstring text = kv::test::read_trace_text();
  for (std::size_t at = text.find(L"CDoDadevModule::PreMessageLoop[0](thread = "); at != std::wstring::npos;
       at = text.find(L"CDoDadevModule::PreMessageLoop[0](thread = ", at + 1)) {
    const std::size_t line_start = text.rfind(L'\n', at);
    const std::size_t open = text.find(L'[', line_start == std::wstring::npos ? 0 : line_start);
    pids.insert(static_cast<DWORD>(std::stoul(text.substr(open + 1))));
  }
  return pids;
}

// Posts WM_QUIT to the process's traced main thread and waits for it; terminates it when that
// does not end it. Answers true when WM_QUIT ended it.
inline bool end_server(HANDLE process, DWORD pid) {
  if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
  const DWORD thread = traced_main_thread(pid);
  if (thread && PostThreadMessageW(thread, WM_QUIT, 0, 0) && WaitForSingleObject(process, 15000) == WAIT_OBJECT_0) {
    return true;
  }
  TerminateProcess(process, 1);
  // A server that outlives its test would answer the next one (and make its servers exit as
  // second instances): say so rather than go on.
  if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) ADD_FAILURE() << "server " << pid << " cannot be ended";
  return false;
}

// A program of the test started without standard handles, so it never holds the test's output
// open; ended (WM_QUIT, else TerminateProcess) when the owner goes out of scope.
class process {
 public:
  // `command_line` as the program sees it; empty gives the quoted path alone.
  explicit process(const std::wstring& program, std::wstring command_line = {}, HANDLE output = nullptr) {
    if (command_line.empty()) command_line = L"\"" + program + L"\"";
    PROCESS_INFORMATION info;
    if (kv::test::start_process(program, command_line, output, info, start_failure_)) {
      handle_.reset(info.hProcess);
      id_ = info.dwProcessId;
    } else {
      ADD_FAILURE() << start_failure_;
    }
  }
  process(const process&) = delete;
  process& operator=(const process&) = delete;
  ~process() {
    if (handle_) end_server(handle_.get(), id_);
  }

  bool started() const { return handle_.is_valid(); }
  // Why it did not start (already reported as a test failure); empty when it started.
  const std::string& start_failure() const { return start_failure_; }
  HANDLE handle() const { return handle_.get(); }
  DWORD id() const { return id_; }
  bool wait(DWORD timeout_ms) const {
    return handle_ && WaitForSingleObject(handle_.get(), timeout_ms) == WAIT_OBJECT_0;
  }
  bool running() const { return handle_ && WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT; }
  DWORD exit_code() const {
    DWORD code = STILL_ACTIVE;
    if (handle_) GetExitCodeProcess(handle_.get(), &code);
    return code;
  }
  // Waits until the server traced its main thread and then sits in its message loop. 0 when it
  // ended or took too long.
  DWORD wait_until_serving(DWORD timeout_ms = 30000) const {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (GetTickCount64() < deadline && running()) {
      const DWORD thread = traced_main_thread(id_);
      if (thread) {
        // The trace line comes just before the class object is registered; the process is idle
        // once its loop waits for messages.
        WaitForInputIdle(handle_.get(), 10000);
        return thread;
      }
      Sleep(50);
    }
    return 0;
  }

 private:
  kv::unique_handle handle_;
  DWORD id_ = 0;
  std::string start_failure_;
};

// True when some committed, readable page of `process` holds `bytes`; `scanned` receives how
// many bytes were read. Matches across page and region borders are not looked for.
inline bool process_memory_holds(HANDLE process, const std::vector<unsigned char>& bytes, std::size_t& scanned) {
  scanned = 0;
  std::vector<unsigned char> page;
  MEMORY_BASIC_INFORMATION region;
  for (const char* at = nullptr; VirtualQueryEx(process, at, &region, sizeof region) == sizeof region;
       at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (region.State != MEM_COMMIT || !(region.Protect & readable) || (region.Protect & PAGE_GUARD)) continue;
    page.resize(region.RegionSize);
    SIZE_T read = 0;
    // A region that changed under the reader may give less than asked (ERROR_PARTIAL_COPY).
    ReadProcessMemory(process, region.BaseAddress, page.data(), page.size(), &read);
    scanned += read;
    if (std::search(page.begin(), page.begin() + static_cast<std::ptrdiff_t>(read), bytes.begin(), bytes.end()) !=
        page.begin() + static_cast<std::ptrdiff_t>(read)) {
      return true;
    }
  }
  return false;
}

// Runs the server with `arguments` to its end; its exit code, or STILL_ACTIVE when it kept
// running (it is then ended), or 0xFFFFFFFE when it could not be started (reported as a failure).
inline DWORD run_server(const std::wstring& arguments, const std::wstring& program = server_exe()) {
  process server(program, L"\"" + program + L"\" " + arguments);
  if (!server.started()) return static_cast<DWORD>(-2);
  if (!server.wait(60000)) return STILL_ACTIVE;
  return server.exit_code();
}

}  // namespace e2e

#include "tests/support/recording_provider.h"

namespace e2e {

// A provider DLL beside the program (by default recording_provider.dll; dodadev_provider.dll, the
// real keystore, has the same class) registered per machine (where Wine's COM looks) while it
// lives.
class provider_registration {
 public:
  explicit provider_registration(const wchar_t* dll_name = L"recording_provider.dll") {
    dll_.reset(LoadLibraryW(beside(dll_name).c_str()));
    if (!dll_) return;
    using entry = HRESULT(STDAPICALLTYPE*)();
    auto reg = reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), "DllRegisterServer")));
    unregister_ = reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), "DllUnregisterServer")));
    registered_ = reg && unregister_ && reg() == S_OK;
  }
  provider_registration(const provider_registration&) = delete;
  provider_registration& operator=(const provider_registration&) = delete;
  ~provider_registration() { remove(); }
  void remove() {
    if (registered_) unregister_();
    registered_ = false;
  }
  bool registered() const { return registered_; }

 private:
  kv::test::unique_module dll_;
  HRESULT(STDAPICALLTYPE* unregister_)() = nullptr;
  bool registered_ = false;
};

// Every test starts and ends with no registration, tracing on, an empty trace file and no
// provider script, and ends every server it made run.
class server_e2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    clean();
    kv::test::set_switch_dword(1);
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    record_file_ = std::wstring(temp) + L"kv-e2e-record-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(record_file_.c_str());
  }
  void TearDown() override {
    end_stray_servers();
    clean();
    DeleteFileW(record_file_.c_str());
  }

  // Every DoDadev.exe still running in the test's prefix (only these tests run it there): the
  // servers COM started, whether or not they got as far as tracing their main thread.
  static void end_stray_servers() {
    std::set<DWORD> running;
    {
      const kv::unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
      if (!snapshot) return;
      PROCESSENTRY32W entry = {};
      entry.dwSize = sizeof entry;
      for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (CompareStringOrdinal(entry.szExeFile, -1, L"DoDadev.exe", -1, TRUE) == CSTR_EQUAL) {
          running.insert(entry.th32ProcessID);
        }
      }
    }
    for (DWORD pid : running) {
      const kv::unique_handle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
      if (process) end_server(process.get(), pid);
    }
  }
  static void clean() {
    remove_registrations();
    kv::test::remove_switches();
    DeleteFileW(kv::test::trace_file_path().c_str());
    kv::test::clear_script();
  }

  const kv::com_apartment com_;  // as a client's single-threaded apartment
  std::wstring record_file_;
};

}  // namespace e2e
