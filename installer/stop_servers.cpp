// dodadev-stop-servers.exe: ends the running servers of one installed DoDadev.exe before the
// installer replaces or removes its files, the way the server is meant to be ended: WM_QUIT to
// its main thread. The message loop only takes that message between calls, so no call is cut
// short; a server is never terminated (installer/server_stopper.h).
//   dodadev-stop-servers [--timeout SECONDS] "C:\Program Files\DoDadev\DoDadev.exe"
// Each step goes to the standard error. Exit codes: 0 when no server of that path runs any more;
// 1 when one still ran after the time (60 s unless --timeout gives 1 to 3600); 2 for a wrong
// command line. The package ends servers with its own StopServers action (dodadev-msi-actions.dll),
// which starts this program in other users' logon sessions to ask the servers there.
#include <windows.h>

#include <new>
#include <string>
#include <string_view>

#include "installer/server_stopper.h"

namespace {

constexpr int exit_all_ended = 0;
constexpr int exit_still_running = 1;
constexpr int exit_usage = 2;

// To a console as UTF-16, anywhere else as UTF-8.
void write_error_text(std::wstring_view text) noexcept {
  HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
  if (!out || out == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  try {
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, utf8.data(), bytes, nullptr, nullptr);
    WriteFile(out, utf8.data(), static_cast<DWORD>(bytes), &written, nullptr);
  } catch (const std::bad_alloc&) {
  }
}

class error_output final : public kv::installer::stop_report {
 public:
  void line(const std::wstring& text) noexcept override {
    write_error_text(L"dodadev-stop-servers: ");
    write_error_text(text);
    write_error_text(L"\n");
  }
};

int run(int argc, wchar_t** argv) {
  kv::installer::stop_request request;
  int path_index = 1;
  if (argc == 4 && std::wstring_view(argv[1]) == L"--timeout") {
    if (!kv::installer::parse_timeout(argv[2], request.timeout_seconds)) {
      write_error_text(L"dodadev-stop-servers: --timeout takes a whole number of seconds from 1 to 3600\n");
      return exit_usage;
    }
    path_index = 3;
  } else if (argc != 2 || std::wstring_view(argv[1]).substr(0, 2) == L"--") {
    path_index = 0;  // a lone option is no path
  }
  if (path_index == 0 || !*argv[path_index]) {
    write_error_text(L"usage: dodadev-stop-servers [--timeout SECONDS] \"<folder>\\DoDadev.exe\"\n");
    return exit_usage;
  }
  request.image = argv[path_index];
  // A copy of this program asks the servers of another logon session: thread messages do not
  // cross sessions.
  std::wstring self(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  if (length > 0 && length < self.size()) request.session_helper = self.substr(0, length);
  error_output report;
  return kv::installer::stop_servers(request, report) == kv::installer::stop_result::all_ended ? exit_all_ended
                                                                                                  : exit_still_running;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    write_error_text(L"dodadev-stop-servers: out of memory\n");
    return exit_still_running;
  }
}
