#pragma once
// Ending the running servers of one installed DoDadev.exe before the installer replaces or
// removes its files, the way the server is meant to be ended: WM_QUIT to its main thread. The
// message loop takes that message only between calls, so no call is cut short; a server is
// never terminated. Every step is told to a stop_report, so that whoever runs it (the console
// program, the installer's custom action) can show or log why a removal waits or fails.
#include <windows.h>

#include <string>
#include <string_view>

namespace kv::installer {

constexpr DWORD default_timeout_seconds = 60;
constexpr DWORD max_timeout_seconds = 3600;

// Receives one line of text per step: a server found, WM_QUIT posted, a server ended, and on
// failure each server that still runs and why.
class stop_report {
 public:
  virtual void line(const std::wstring& text) noexcept = 0;

 protected:
  ~stop_report() = default;
};

struct stop_request {
  std::wstring image;  // DoDadev.exe whose servers end; made a full path before use
  DWORD timeout_seconds = default_timeout_seconds;
  // Started in another logon session, as the user there, with `--timeout N "image"`: thread
  // messages do not cross sessions. Empty: servers of other sessions are only posted to.
  std::wstring session_helper;
};

enum class stop_result { all_ended, still_running };

// Asks every server started from request.image to quit and waits up to the timeout for all of
// them, looking for new ones every round (COM may start one for a client meanwhile). The
// calling process itself never counts. Throws std::bad_alloc.
stop_result stop_servers(const stop_request& request, stop_report& report);

// A whole number of seconds from 1 to max_timeout_seconds in decimal digits, nothing else.
bool parse_timeout(std::wstring_view text, DWORD& seconds) noexcept;

// The StopServers action's CustomActionData, "SECONDS;FULL PATH OF DoDadev.exe". The helper is
// the dodadev-stop-servers.exe beside that DoDadev.exe. False with `problem` set (and `request`
// untouched) when the data is anything else. Throws std::bad_alloc.
bool parse_action_data(std::wstring_view data, stop_request& request, std::wstring& problem);

// "error 5 (Access is denied.)": the code and the system's text for it, when it has one.
// Throws std::bad_alloc.
std::wstring describe_error(DWORD code);

}  // namespace kv::installer
