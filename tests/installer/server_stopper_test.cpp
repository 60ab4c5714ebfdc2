// Ending running servers (installer/server_stopper.h): the StopServers action's data, and real
// second processes of this program standing in for servers, one that takes WM_QUIT and one that
// never looks at its messages.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/server_stopper.h"
#include "tests/support/self_process.h"

namespace {

using kv::installer::stop_request;
using kv::installer::stop_result;

// Makes the thread's message queue, says so, and quits with 7 on WM_QUIT.
int take_quit(const kv::test::child_args& args) {
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  kv::test::named_event(args.at(0)).set();
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 7;
}
const kv::test::child_role take_quit_role(L"take_quit", take_quit);

// Has a message queue but never reads it, like a server stuck in a call.
int ignore_messages(const kv::test::child_args& args) {
  MSG message;
  PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
  kv::test::named_event(args.at(0)).set();
  Sleep(60000);
  return 0;
}
const kv::test::child_role ignore_messages_role(L"ignore_messages", ignore_messages);

struct recorded_report final : kv::installer::stop_report {
  void line(const std::wstring& text) noexcept override { lines.push_back(text); }
  std::string all() const {
    std::string text;
    for (const std::wstring& line : lines) text += kv::test::narrow(line) + "\n";
    return text;
  }
  std::vector<std::wstring> lines;
};

std::wstring self_path() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return self;
}

std::wstring id_of(const kv::test::child_process& child) { return std::to_wstring(child.id()); }

TEST(server_stopper, ends_a_server_that_takes_wm_quit_and_tells_each_step) {
  const std::wstring ready = kv::test::unique_name(L"stopper-ready");
  kv::test::named_event event(ready);
  kv::test::child_process child(L"take_quit", {ready});
  ASSERT_TRUE(event.wait(10000)) << "the stand-in server did not start";
  DWORD session = 0;
  ProcessIdToSessionId(child.id(), &session);

  recorded_report report;
  const stop_result result = kv::installer::stop_servers({self_path(), 10, L""}, report);

  EXPECT_EQ(result, stop_result::all_ended) << report.all();
  ASSERT_TRUE(child.wait(5000));
  EXPECT_EQ(child.exit_code(), 7u) << "it did not end through WM_QUIT";
  const std::wstring id = id_of(child);
  ASSERT_EQ(report.lines.size(), 5u) << report.all();
  EXPECT_EQ(report.lines[0], L"ending the servers started from " + self_path() + L", waiting up to 10 s");
  EXPECT_EQ(report.lines[1], L"found process " + id + L" (session " + std::to_wstring(session) + L"): " + self_path());
  EXPECT_EQ(report.lines[2].rfind(L"posted WM_QUIT to thread ", 0), 0u) << report.all();
  EXPECT_EQ(report.lines[2].substr(report.lines[2].size() - id.size() - 12), L" of process " + id);
  EXPECT_EQ(report.lines[3], L"process " + id + L" ended (exit code 7)");
  EXPECT_EQ(report.lines[4], L"no server started from " + self_path() + L" runs any more");
}

TEST(server_stopper, names_a_server_that_does_not_take_messages_after_the_time) {
  const std::wstring ready = kv::test::unique_name(L"stopper-ready");
  kv::test::named_event event(ready);
  kv::test::child_process child(L"ignore_messages", {ready});
  ASSERT_TRUE(event.wait(10000)) << "the stand-in server did not start";

  recorded_report report;
  const ULONGLONG start = GetTickCount64();
  const stop_result result = kv::installer::stop_servers({self_path(), 1, L""}, report);
  const ULONGLONG took = GetTickCount64() - start;

  EXPECT_EQ(result, stop_result::still_running) << report.all();
  EXPECT_GE(took, 1000u);
  EXPECT_LT(took, 20000u);  // the given second, far from the default minute
  EXPECT_FALSE(child.wait(0)) << "the server was ended, not asked";
  ASSERT_FALSE(report.lines.empty());
  const std::wstring& last = report.lines.back();
  const std::wstring expected = L"process " + id_of(child) + L" (session ";
  EXPECT_EQ(last.rfind(expected, 0), 0u) << report.all();
  EXPECT_NE(last.find(L") still runs after 1 s: it is busy in a call or does not take messages (WM_QUIT was posted "
                      L"to thread "),
            std::wstring::npos)
      << report.all();
}

struct action_data_row {
  const char* name;
  const wchar_t* data;
  DWORD seconds;            // 0: refused
  const wchar_t* expected;  // the image, or the problem when refused
};

const action_data_row action_data_rows[] = {
    {"program_files", L"60;C:\\Program Files\\DoDadev\\DoDadev.exe", 60, L"C:\\Program Files\\DoDadev\\DoDadev.exe"},
    {"one_second", L"1;d:/x/DoDadev.exe", 1, L"d:/x/DoDadev.exe"},
    {"longest", L"3600;\\\\server\\share\\DoDadev.exe", 3600, L"\\\\server\\share\\DoDadev.exe"},
    {"leading_zeros", L"0060;C:\\a\\DoDadev.exe", 60, L"C:\\a\\DoDadev.exe"},
    {"semicolon_in_path", L"5;C:\\a;b\\DoDadev.exe", 5, L"C:\\a;b\\DoDadev.exe"},
    {"empty", L"", 0, L"no ';' between the seconds and the path"},
    {"no_path", L"60", 0, L"no ';' between the seconds and the path"},
    {"no_seconds", L";C:\\DoDadev.exe", 0, L"\"\" is not a whole number of seconds from 1 to 3600"},
    {"zero", L"0;C:\\DoDadev.exe", 0, L"\"0\" is not a whole number of seconds from 1 to 3600"},
    {"too_long", L"3601;C:\\DoDadev.exe", 0, L"\"3601\" is not a whole number of seconds from 1 to 3600"},
    {"huge", L"99999999999999999999;C:\\DoDadev.exe", 0,
     L"\"99999999999999999999\" is not a whole number of seconds from 1 to 3600"},
    {"negative", L"-5;C:\\DoDadev.exe", 0, L"\"-5\" is not a whole number of seconds from 1 to 3600"},
    {"plus", L"+5;C:\\DoDadev.exe", 0, L"\"+5\" is not a whole number of seconds from 1 to 3600"},
    {"blank_before", L" 5;C:\\DoDadev.exe", 0, L"\" 5\" is not a whole number of seconds from 1 to 3600"},
    {"blank_after", L"5 ;C:\\DoDadev.exe", 0, L"\"5 \" is not a whole number of seconds from 1 to 3600"},
    {"letter", L"6O;C:\\DoDadev.exe", 0, L"\"6O\" is not a whole number of seconds from 1 to 3600"},
    {"unresolved_property", L"[SERVERSTOPTIMEOUT];C:\\DoDadev.exe", 0,
     L"\"[SERVERSTOPTIMEOUT]\" is not a whole number of seconds from 1 to 3600"},
    {"path_missing", L"60;", 0, L"the path of DoDadev.exe is missing"},
    {"bare_name", L"60;DoDadev.exe", 0, L"\"DoDadev.exe\" is not a full path (with drive or server)"},
    {"rooted_only", L"60;\\DoDadev.exe", 0, L"\"\\DoDadev.exe\" is not a full path (with drive or server)"},
    {"drive_relative", L"60;C:DoDadev.exe", 0, L"\"C:DoDadev.exe\" is not a full path (with drive or server)"},
    {"folder", L"60;C:\\DoDadev\\", 0, L"\"C:\\DoDadev\\\" names a folder, not DoDadev.exe"},
    {"quote", L"60;\"C:\\DoDadev.exe\"", 0, L"the path holds a character that no path may hold"},
    {"tab", L"60;C:\\Do\tDadev.exe", 0, L"the path holds a character that no path may hold"},
};

TEST(server_stopper, action_data_is_seconds_then_the_full_path) {
  for (const action_data_row& row : action_data_rows) {
    SCOPED_TRACE(row.name);
    stop_request request{L"untouched", 42, L"untouched"};
    std::wstring problem;
    const bool ok = kv::installer::parse_action_data(row.data, request, problem);
    ASSERT_EQ(ok, row.seconds != 0) << kv::test::narrow(problem);
    if (ok) {
      EXPECT_EQ(request.timeout_seconds, row.seconds);
      EXPECT_EQ(request.image, row.expected);
      const std::wstring image(row.expected);
      EXPECT_EQ(request.session_helper, image.substr(0, image.find_last_of(L"\\/") + 1) + L"dodadev-stop-servers.exe");
    } else {
      EXPECT_EQ(problem, row.expected);
      EXPECT_EQ(request.image, L"untouched");
      EXPECT_EQ(request.timeout_seconds, 42u);
    }
  }
}

}  // namespace
