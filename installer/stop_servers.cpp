// dodadev-stop-servers.exe: ends the running servers of one installed DoDadev.exe before the
// installer replaces or removes its files, the way the server is meant to be ended: WM_QUIT to
// its main thread. The message loop only takes that message between calls, so no call is cut
// short; a server is never terminated.
//   dodadev-stop-servers "C:\Program Files\DoDadev\DoDadev.exe"
// Exit codes: 0 when no server of that path runs any more; 1 when one still ran after a minute
// (the installer then fails and rolls back, leaving everything as it was); 2 for a wrong
// command line.
#include <windows.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "types/owners.h"

namespace {

constexpr ULONGLONG patience_ms = 60000;
constexpr DWORD round_ms = 250;

struct server {
  kv::unique_handle process;
  DWORD id = 0;
  DWORD session = 0;
};

bool same_path(const wchar_t* left, const wchar_t* right) {
  return CompareStringOrdinal(left, -1, right, -1, TRUE) == CSTR_EQUAL;
}

std::wstring full_path(const wchar_t* path) {
  wchar_t buffer[MAX_PATH * 4] = {};
  const DWORD length = GetFullPathNameW(path, MAX_PATH * 4, buffer, nullptr);
  return length > 0 && length < MAX_PATH * 4 ? std::wstring(buffer) : std::wstring(path);
}

// Every running process started from `image`, opened so that it can be waited for.
std::vector<server> find_servers(const std::wstring& image) {
  std::vector<server> found;
  const wchar_t* name = image.c_str() + image.find_last_of(L'\\') + 1;
  kv::unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (!same_path(entry.szExeFile, name)) continue;
    kv::unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
    if (!process) continue;
    wchar_t path[MAX_PATH * 4] = {};
    DWORD length = MAX_PATH * 4;
    if (!QueryFullProcessImageNameW(process.get(), 0, path, &length) || !same_path(path, image.c_str())) continue;
    server running;
    running.id = entry.th32ProcessID;
    if (!ProcessIdToSessionId(running.id, &running.session)) running.session = 0;
    running.process = std::move(process);
    found.push_back(std::move(running));
  }
  return found;
}

// The process's first thread, which builds the server module and runs its message loop: the
// thread created earliest.
DWORD main_thread_of(DWORD process_id) {
  kv::unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD first = 0;
  ULONGLONG earliest = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != process_id) continue;
    // A thread whose times cannot be read ranks after every one whose times can.
    ULONGLONG created = ~0ULL;
    kv::unique_handle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
    FILETIME creation, exit, kernel, user;
    if (thread && GetThreadTimes(thread.get(), &creation, &exit, &kernel, &user)) {
      created = (ULONGLONG{creation.dwHighDateTime} << 32) | creation.dwLowDateTime;
    }
    if (!first || created < earliest) {
      first = entry.th32ThreadID;
      earliest = created;
    }
  }
  return first;
}

// Starts this program again in `session` as the user logged on there. The installer's own account
// runs in session 0, and thread messages do not cross from one session to another; the copy asks
// the servers of its session. Needs the installer service's right to act as the operating system.
bool ask_from_session(DWORD session) {
  kv::unique_handle token;
  if (!WTSQueryUserToken(session, token.put())) return false;
  wchar_t self[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  if (length == 0 || length >= MAX_PATH * 4) return false;
  std::wstring command_line = GetCommandLineW();
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<wchar_t*>(L"winsta0\\default");
  PROCESS_INFORMATION started = {};
  if (!CreateProcessAsUserW(token.get(), self, command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &started)) {
    return false;
  }
  const kv::unique_handle thread(started.hThread);
  const kv::unique_handle process(started.hProcess);
  return true;
}

// Posts WM_QUIT to the server's main thread. A server that has not yet made its message queue
// refuses the post; the next round asks again.
void ask_to_quit(const server& running, DWORD own_session, std::set<DWORD>& sessions_asked) {
  const DWORD thread = main_thread_of(running.id);
  if (thread && PostThreadMessageW(thread, WM_QUIT, 0, 0)) return;
  if (running.session != own_session && sessions_asked.insert(running.session).second) {
    if (!ask_from_session(running.session)) sessions_asked.erase(running.session);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 || !*argv[1]) {
    std::fputs("usage: dodadev-stop-servers \"<folder>\\DoDadev.exe\"\n", stderr);
    return 2;
  }
  const std::wstring image = full_path(argv[1]);
  DWORD own_session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &own_session)) own_session = 0;
  std::set<DWORD> sessions_asked;
  const ULONGLONG deadline = GetTickCount64() + patience_ms;
  for (;;) {
    // Scanned again every round: COM may start a new server for a client meanwhile.
    const std::vector<server> servers = find_servers(image);
    if (servers.empty()) return 0;
    if (GetTickCount64() >= deadline) {
      for (const server& running : servers) {
        std::fprintf(stderr, "dodadev-stop-servers: process %lu did not end\n", static_cast<unsigned long>(running.id));
      }
      return 1;
    }
    std::vector<HANDLE> handles;
    for (const server& running : servers) {
      ask_to_quit(running, own_session, sessions_asked);
      if (handles.size() < MAXIMUM_WAIT_OBJECTS) handles.push_back(running.process.get());
    }
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, round_ms);
  }
}
