// Ending the running servers of one DoDadev.exe: find them, post WM_QUIT to each one's main
// thread (or ask from their own logon session), wait, and tell every step and every refusal.
#include "installer/server_stopper.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "types/wide.h"
#include "win/owners.h"

namespace kv::installer {

namespace {

constexpr DWORD round_ms = 250;
constexpr DWORD longest_path = 32768;

std::wstring decimal(DWORD value) { return std::to_wstring(value); }

bool same_path(const wchar_t* left, const wchar_t* right) {
  return CompareStringOrdinal(left, -1, right, -1, TRUE) == CSTR_EQUAL;
}

bool is_separator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// "OpenProcess failed: error 5 (Access is denied.)"
std::wstring failure_of(const wchar_t* call, DWORD code) {
  return std::wstring(call) + L" failed: " + describe_error(code);
}

std::wstring full_path(const std::wstring& path) {
  std::wstring buffer(longest_path, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), longest_path, buffer.data(), nullptr);
  if (length == 0 || length >= longest_path) return path;
  buffer.resize(length);
  return buffer;
}

// The process's first thread, which builds the server module and runs its message loop: the
// thread created earliest. 0 with `error` set when the threads cannot be listed.
DWORD main_thread_of(DWORD process_id, DWORD& error) {
  error = 0;
  unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) {
    error = GetLastError();
    return 0;
  }
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD first = 0;
  ULONGLONG earliest = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != process_id) continue;
    // A thread whose times cannot be read ranks after every one whose times can.
    ULONGLONG created = ~0ULL;
    unique_handle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
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

// Starts `program` in `session` as the user logged on there. Needs the installer service's right
// to act as the operating system. False with `failure` set when it cannot.
bool start_in_session(DWORD session, const std::wstring& program, std::wstring command_line, unique_handle& process,
                      DWORD& process_id, std::wstring& failure) {
  unique_handle token;
  if (!WTSQueryUserToken(session, token.put())) {
    failure = failure_of(L"WTSQueryUserToken", GetLastError());
    return false;
  }
  wchar_t desktop[] = L"winsta0\\default";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.lpDesktop = desktop;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessAsUserW(token.get(), program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                            CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
    failure = failure_of(L"CreateProcessAsUserW", GetLastError());
    return false;
  }
  const unique_handle thread(started.hThread);
  process.reset(started.hProcess);
  process_id = started.dwProcessId;
  return true;
}

struct server {
  unique_handle process;  // held so that its id is not reused while it is tracked
  DWORD session = 0;
  DWORD thread = 0;
  bool posted = false;      // WM_QUIT waits in its queue
  std::wstring not_posted;  // why not, as last told (a repeat is not told again)
};

// The helper started in one other session, or why it could not be.
struct session_asked {
  unique_handle process;
  DWORD process_id = 0;
  std::wstring failure;
};

class stopper {
 public:
  stopper(const stop_request& request, stop_report& report)
      : image_(full_path(request.image)),
        name_(image_.c_str() + image_.find_last_of(L"\\/") + 1),
        timeout_seconds_(request.timeout_seconds),
        helper_(request.session_helper),
        report_(report) {
    if (!ProcessIdToSessionId(own_id_, &own_session_)) own_session_ = 0;
  }

  stop_result run() {
    tell(L"ending the servers started from " + image_ + L", waiting up to " + decimal(timeout_seconds_) + L" s");
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG{timeout_seconds_} * 1000;
    for (;;) {
      forget_ended();
      // Listed again every round: COM may start a new server for a client meanwhile.
      const bool listed = find_new();
      if (listed && servers_.empty()) {
        tell(L"no server started from " + image_ + L" runs any more");
        return stop_result::all_ended;
      }
      std::vector<HANDLE> handles;
      for (auto& [id, running] : servers_) {
        ask_to_quit(id, running);
        if (handles.size() < MAXIMUM_WAIT_OBJECTS) handles.push_back(running.process.get());
      }
      if (GetTickCount64() >= deadline) {
        tell_still_running(listed);
        return stop_result::still_running;
      }
      if (handles.empty() || WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                                    round_ms) == WAIT_FAILED) {
        Sleep(round_ms);
      }
    }
  }

 private:
  void tell(const std::wstring& text) { report_.line(text); }

  std::wstring session_text(DWORD session) const { return L"session " + decimal(session); }

  void forget_ended() {
    for (auto it = servers_.begin(); it != servers_.end();) {
      if (WaitForSingleObject(it->second.process.get(), 0) != WAIT_OBJECT_0) {
        ++it;
        continue;
      }
      DWORD code = 0;
      const std::wstring how = GetExitCodeProcess(it->second.process.get(), &code)
                                   ? L"exit code " + decimal(code)
                                   : failure_of(L"GetExitCodeProcess", GetLastError());
      tell(L"process " + decimal(it->first) + L" ended (" + how + L")");
      it = servers_.erase(it);
    }
  }

  // Adds every process started from the image that is not tracked yet. False when the processes
  // could not be listed.
  bool find_new() {
    unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
      const DWORD error = GetLastError();
      if (std::exchange(listing_error_, error) != error) {
        tell(L"cannot list the running processes: " + failure_of(L"CreateToolhelp32Snapshot", error));
      }
      return false;
    }
    listing_error_ = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
      const DWORD id = entry.th32ProcessID;
      if (id == own_id_ || servers_.count(id) || !same_path(entry.szExeFile, name_.c_str())) continue;
      consider(id);
    }
    return true;
  }

  void consider(DWORD id) {
    unique_handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, id));
    if (!process) {
      // ERROR_INVALID_PARAMETER: it ended after the listing.
      const DWORD error = GetLastError();
      if (error != ERROR_INVALID_PARAMETER) tell_unseen(id, L"cannot be opened: " + failure_of(L"OpenProcess", error));
      return;
    }
    std::wstring path(longest_path, L'\0');
    DWORD length = longest_path;
    if (!QueryFullProcessImageNameW(process.get(), 0, path.data(), &length)) {
      const DWORD error = GetLastError();
      tell_unseen(id, L"cannot tell where it was started from: " + failure_of(L"QueryFullProcessImageNameW", error));
      return;
    }
    path.resize(length);
    if (!same_path(path.c_str(), image_.c_str()) || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return;
    server running;
    running.process = std::move(process);
    std::wstring session;
    if (ProcessIdToSessionId(id, &running.session)) {
      session = session_text(running.session);
    } else {
      session = L"session unknown: " + failure_of(L"ProcessIdToSessionId", GetLastError());
      running.session = own_session_;
    }
    tell(L"found process " + decimal(id) + L" (" + session + L"): " + path);
    servers_.emplace(id, std::move(running));
  }

  // A process of the image's name that cannot be looked at is told once, not every round.
  void tell_unseen(DWORD id, const std::wstring& why) {
    if (unseen_.insert(id).second) tell(L"process " + decimal(id) + L" is named " + name_ + L" but " + why);
  }

  // Posts WM_QUIT to the server's main thread. A server that has not yet made its message queue
  // refuses the post; the next round asks again. One of another session is asked from there:
  // thread messages do not cross sessions.
  void ask_to_quit(DWORD id, server& running) {
    if (running.posted) return;
    if (running.session != own_session_ && !helper_.empty()) {
      ask_from_session(running.session);
      return;
    }
    DWORD error = 0;
    running.thread = main_thread_of(id, error);
    std::wstring why;
    if (!running.thread) {
      why = error ? L"its threads cannot be listed: " + failure_of(L"CreateToolhelp32Snapshot", error)
                  : std::wstring(L"it has no thread");
    } else if (PostThreadMessageW(running.thread, WM_QUIT, 0, 0)) {
      running.posted = true;
      tell(L"posted WM_QUIT to thread " + decimal(running.thread) + L" of process " + decimal(id));
      return;
    } else {
      error = GetLastError();
      why = L"WM_QUIT could not be posted to its thread " + decimal(running.thread) + L": " +
            failure_of(L"PostThreadMessageW", error);
    }
    if (std::exchange(running.not_posted, why) != why) {
      tell(L"process " + decimal(id) + L": " + why + L"; asking again");
    }
  }

  // Starts the helper in `session`, once: it asks the servers there itself.
  void ask_from_session(DWORD session) {
    session_asked& asked = sessions_[session];
    if (asked.process) return;
    std::wstring failure;
    const std::wstring command_line =
        L"\"" + helper_ + L"\" --timeout " + decimal(timeout_seconds_) + L" \"" + image_ + L"\"";
    if (start_in_session(session, helper_, command_line, asked.process, asked.process_id, failure)) {
      tell(L"started " + helper_ + L" in " + session_text(session) + L" as the user there (process " +
           decimal(asked.process_id) + L") to ask the servers of that session");
    } else if (std::exchange(asked.failure, failure) != failure) {
      tell(L"cannot start " + helper_ + L" in " + session_text(session) + L": " + failure);
    }
  }

  void tell_still_running(bool listed) {
    const std::wstring after = L" still runs after " + decimal(timeout_seconds_) + L" s: ";
    for (const auto& [id, running] : servers_) {
      std::wstring why;
      const auto asked = sessions_.find(running.session);
      if (running.posted) {
        why = L"it is busy in a call or does not take messages (WM_QUIT was posted to thread " +
              decimal(running.thread) + L")";
      } else if (asked != sessions_.end() && asked->second.process) {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(asked->second.process.get(), &code);
        const std::wstring helper_state =
            code == STILL_ACTIVE ? std::wstring(L"which still runs") : L"which ended with exit code " + decimal(code);
        why = L"it was asked from its session by " + helper_ + L" (process " + decimal(asked->second.process_id) +
              L", " + helper_state + L"); it is busy in a call or does not take messages";
      } else if (asked != sessions_.end()) {
        why = L"it is in another session, and " + helper_ + L" could not be started there: " + asked->second.failure;
      } else {
        why = running.not_posted;
      }
      tell(L"process " + decimal(id) + L" (" + session_text(running.session) + L")" + after + why);
    }
    if (!listed) tell(L"cannot tell whether another server" + after + L"the running processes cannot be listed");
  }

  const DWORD own_id_ = GetCurrentProcessId();
  DWORD own_session_ = 0;
  const std::wstring image_;
  const std::wstring name_;
  const DWORD timeout_seconds_;
  const std::wstring helper_;
  stop_report& report_;
  std::map<DWORD, server> servers_;
  std::map<DWORD, session_asked> sessions_;
  std::set<DWORD> unseen_;
  DWORD listing_error_ = 0;
};

// A path that names its drive or server: "C:\...", "\\server\share\...", "\\?\...".
bool is_full_path(std::wstring_view path) {
  if (path.size() < 3) return false;
  const bool drive = kv::is_ascii_letter(path[0]) && path[1] == L':';
  return (drive && is_separator(path[2])) || (is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2]));
}

// Characters that no file name holds; a quote would also break the helper's command line.
bool holds_forbidden(std::wstring_view path) {
  for (const wchar_t unit : path) {
    if (unit < 0x20 || unit == L'"' || unit == L'<' || unit == L'>' || unit == L'|' || unit == L'*') return true;
  }
  return false;
}

}  // namespace

stop_result stop_servers(const stop_request& request, stop_report& report) { return stopper(request, report).run(); }

bool parse_timeout(std::wstring_view text, DWORD& seconds) noexcept {
  if (text.empty()) return false;
  DWORD value = 0;
  for (const wchar_t unit : text) {
    if (unit < L'0' || unit > L'9') return false;
    value = value * 10 + static_cast<DWORD>(unit - L'0');
    if (value > max_timeout_seconds) return false;
  }
  if (value == 0) return false;
  seconds = value;
  return true;
}

bool parse_action_data(std::wstring_view data, stop_request& request, std::wstring& problem) {
  const std::size_t split = data.find(L';');
  if (split == std::wstring_view::npos) {
    problem = L"no ';' between the seconds and the path";
    return false;
  }
  const std::wstring_view seconds_text = data.substr(0, split);
  const std::wstring_view path = data.substr(split + 1);
  DWORD seconds = 0;
  if (!parse_timeout(seconds_text, seconds)) {
    problem = L"\"" + std::wstring(seconds_text) + L"\" is not a whole number of seconds from 1 to " +
              decimal(max_timeout_seconds);
    return false;
  }
  if (path.empty()) {
    problem = L"the path of DoDadev.exe is missing";
    return false;
  }
  if (holds_forbidden(path)) {
    problem = L"the path holds a character that no path may hold";
    return false;
  }
  if (!is_full_path(path)) {
    problem = L"\"" + std::wstring(path) + L"\" is not a full path (with drive or server)";
    return false;
  }
  if (is_separator(path.back())) {
    problem = L"\"" + std::wstring(path) + L"\" names a folder, not DoDadev.exe";
    return false;
  }
  const std::size_t folder_end = path.find_last_of(L"\\/") + 1;
  request.image = std::wstring(path);
  request.timeout_seconds = seconds;
  request.session_helper = std::wstring(path.substr(0, folder_end)) + L"dodadev-stop-servers.exe";
  return true;
}

std::wstring describe_error(DWORD code) {
  std::wstring described = L"error " + decimal(code);
  unique_local message;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(message.put()), 0, nullptr);
  if (length == 0 || !message) return described;
  std::wstring_view text(static_cast<const wchar_t*>(message.get()), length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ')) text.remove_suffix(1);
  if (!text.empty()) {
    described += L" (";
    described += text;
    described += L")";
  }
  return described;
}

}  // namespace kv::installer
