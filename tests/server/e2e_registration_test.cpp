// DoDadev.exe's registration switches, checked by reading the registry back.
#include <algorithm>

#include "e2e_support.h"

#include <oleauto.h>
#include "tests/support/hresult_assert.h"

namespace {

using e2e::app_id_text;
using e2e::clsid_text;
using e2e::libid_text;
using server_test::dump;
using lines = std::vector<std::wstring>;

lines sorted(lines items) {
  std::sort(items.begin(), items.end());
  return items;
}

const std::wstring classes = L"Software\\Classes\\";

// Every key and value that the two scripts write, read back under `root`\Software\Classes.
void expect_scripts_written(HKEY root, const std::wstring& server_path) {
  const std::wstring clsid = clsid_text;
  const std::wstring app_id = app_id_text;
  EXPECT_EQ(dump(root, classes + L"AppID\\" + app_id), lines{L"@ = DoDadev"});
  EXPECT_EQ(dump(root, classes + L"AppID\\DoDadev.EXE"), lines{L"AppID = " + app_id});
  EXPECT_EQ(dump(root, classes + L"DoDadev.LU_proxy_disp.1"),
            (lines{L"@ = LU_proxy_disp Class", L"CLSID", L"CLSID\\@ = " + clsid}));
  EXPECT_EQ(dump(root, classes + L"DoDadev.LU_proxy_disp"),
            sorted({L"@ = LU_proxy_disp Class", L"CLSID", L"CLSID\\@ = " + clsid, L"CurVer",
                    L"CurVer\\@ = DoDadev.LU_proxy_disp.1"}));
  EXPECT_EQ(dump(root, classes + L"CLSID\\" + clsid),
            sorted({L"@ = LU_proxy_disp Class", L"AppID = " + app_id, L"ProgID", L"ProgID\\@ = DoDadev.LU_proxy_disp.1",
                    L"VersionIndependentProgID", L"VersionIndependentProgID\\@ = DoDadev.LU_proxy_disp",
                    L"Programmable", L"LocalServer32", L"LocalServer32\\@ = \"" + server_path + L"\"", L"TypeLib",
                    L"TypeLib\\@ = " + std::wstring(libid_text)}));
}

void expect_type_library_registered(HKEY root, const std::wstring& server_path) {
  EXPECT_EQ(server_test::text_value(root, classes + L"TypeLib\\" + libid_text + L"\\1.0\\0\\win64", nullptr),
            server_path);
  EXPECT_EQ(server_test::text_value(root, classes + L"TypeLib\\" + libid_text + L"\\1.0", nullptr),
            L"DoDadev 1.0 Type Library");
  // The interface's marshalling entry, without which no dual call reaches the server.
  EXPECT_TRUE(server_test::key_exists(root, classes + L"Interface\\" + e2e::iid_text));
}

void expect_nothing_registered(HKEY root) {
  for (const std::wstring& key : e2e::registration_keys()) {
    EXPECT_FALSE(server_test::key_exists(root, classes + key)) << testing::PrintToString(key);
  }
}

using server_registration = e2e::server_e2e;

TEST_F(server_registration, regserver_writes_every_key_and_value_of_both_scripts_for_the_machine) {
  const e2e::classes_snapshot user_before = e2e::snapshot(HKEY_CURRENT_USER);
  EXPECT_EQ(e2e::run_server(L"/RegServer"), 0u);
  expect_scripts_written(HKEY_LOCAL_MACHINE, e2e::server_exe());
  expect_type_library_registered(HKEY_LOCAL_MACHINE, e2e::server_exe());
  EXPECT_TRUE(e2e::snapshot(HKEY_CURRENT_USER) == user_before);
}

TEST_F(server_registration, regserver_switch_in_any_case_after_dash_or_slash_registers) {
  for (const wchar_t* word : {L"-REGSERVER", L"/regserver", L"-RegServer"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(word)));
    e2e::remove_registrations();
    EXPECT_EQ(e2e::run_server(word), 0u);
    EXPECT_TRUE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"CLSID\\" + clsid_text));
  }
  // Command lines as launchers and shells pass them: glued to the unquoted path or to the name
  // without ".exe", or the switch alone beside the application name.
  const std::wstring path = e2e::server_exe();
  const std::wstring stem = path.substr(0, path.size() - 4);
  for (const std::wstring& command_line : {path + L"/RegServer", stem + L"-RegServer", std::wstring(L"/RegServer")}) {
    SCOPED_TRACE(testing::PrintToString(command_line));
    e2e::remove_registrations();
    e2e::process launched(path, command_line);
    ASSERT_TRUE(launched.wait(60000));
    EXPECT_EQ(launched.exit_code(), 0u);
    EXPECT_TRUE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"CLSID\\" + clsid_text));
  }
}

// An installer or a user re-registering while a server serves in the same session.
TEST_F(server_registration, registration_switches_work_while_a_server_runs) {
  e2e::process serving(e2e::server_exe());
  ASSERT_TRUE(serving.started());
  ASSERT_NE(serving.wait_until_serving(), 0u);
  EXPECT_EQ(e2e::run_server(L"/RegServer"), 0u);
  expect_scripts_written(HKEY_LOCAL_MACHINE, e2e::server_exe());
  EXPECT_EQ(e2e::run_server(L"-UnregServer"), 0u);
  expect_nothing_registered(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(serving.running());
}

TEST_F(server_registration, regservernow_registers_nothing_and_the_server_runs) {
  e2e::process server(e2e::server_exe(), L"\"" + e2e::server_exe() + L"\" /RegServerNow");
  ASSERT_TRUE(server.started());
  EXPECT_NE(server.wait_until_serving(), 0u);
  expect_nothing_registered(HKEY_LOCAL_MACHINE);
  expect_nothing_registered(HKEY_CURRENT_USER);
  EXPECT_TRUE(e2e::end_server(server.handle(), server.id()));
  EXPECT_EQ(server.exit_code(), 0u);
}

TEST_F(server_registration, unregserver_removes_exactly_what_regserver_wrote_and_keeps_the_noremove_parents) {
  const e2e::classes_snapshot before = e2e::snapshot(HKEY_LOCAL_MACHINE);
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
  // Neighbours that others registered stay.
  const std::wstring neighbour = L"{6B29FC40-CA47-1067-B31D-00DD010662DA}";
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (classes + L"CLSID\\" + neighbour).c_str(), nullptr, REG_SZ, L"n", 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (classes + L"AppID\\" + neighbour).c_str(), nullptr, REG_SZ, L"n", 4),
            ERROR_SUCCESS);

  EXPECT_EQ(e2e::run_server(L"/UnregServer"), 0u);
  expect_nothing_registered(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"AppID"));
  EXPECT_TRUE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"CLSID"));
  EXPECT_TRUE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"CLSID\\" + neighbour));
  EXPECT_TRUE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"AppID\\" + neighbour));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classes + L"CLSID\\" + neighbour).c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classes + L"AppID\\" + neighbour).c_str());
  EXPECT_TRUE(e2e::snapshot(HKEY_LOCAL_MACHINE) == before);
}

// The class goes first and the AppID last: a type library that cannot be unregistered (its
// registration removed behind the server's back) stops the run with that step's code.
TEST_F(server_registration, unregserver_stops_at_a_failing_type_library_step_and_keeps_the_app_id) {
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
  ASSERT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classes + L"TypeLib\\" + libid_text).c_str()), ERROR_SUCCESS);
  GUID libid{};
  ASSERT_HR(S_OK, CLSIDFromString(libid_text, &libid));
  const HRESULT step_failure = UnRegisterTypeLib(libid, 1, 0, 0, SYS_WIN64);
  ASSERT_TRUE(FAILED(step_failure));

  EXPECT_EQ(e2e::run_server(L"/UnregServer"), static_cast<DWORD>(step_failure));
  EXPECT_FALSE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"CLSID\\" + clsid_text));
  EXPECT_FALSE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + L"DoDadev.LU_proxy_disp"));
  EXPECT_EQ(dump(HKEY_LOCAL_MACHINE, classes + L"AppID\\" + app_id_text), lines{L"@ = DoDadev"});
  EXPECT_EQ(dump(HKEY_LOCAL_MACHINE, classes + L"AppID\\DoDadev.EXE"), lines{L"AppID = " + std::wstring(app_id_text)});
}

TEST_F(server_registration, regserverperuser_writes_only_under_the_users_classes) {
  const e2e::classes_snapshot machine_before = e2e::snapshot(HKEY_LOCAL_MACHINE);
  const e2e::classes_snapshot user_before = e2e::snapshot(HKEY_CURRENT_USER);
  EXPECT_EQ(e2e::run_server(L"/RegServerPerUser"), 0u);
  expect_scripts_written(HKEY_CURRENT_USER, e2e::server_exe());
  for (const std::wstring& key : e2e::registration_keys()) {
    if (key.rfind(L"TypeLib", 0) == 0 || key.rfind(L"Interface", 0) == 0) continue;
    EXPECT_FALSE(server_test::key_exists(HKEY_LOCAL_MACHINE, classes + key)) << testing::PrintToString(key);
  }
  EXPECT_TRUE(e2e::snapshot(HKEY_LOCAL_MACHINE) == machine_before);
  if (e2e::running_on_wine()) {
    // Wine 8's RegisterTypeLibForUser is a stub that registers for the whole machine: the type
    // library and its interface land under HKEY_LOCAL_MACHINE, not the user's classes.
    expect_type_library_registered(HKEY_LOCAL_MACHINE, e2e::server_exe());
  } else {
    expect_type_library_registered(HKEY_CURRENT_USER, e2e::server_exe());
  }

  EXPECT_EQ(e2e::run_server(L"/UnregServerPerUser"), 0u);
  expect_nothing_registered(HKEY_CURRENT_USER);
  expect_nothing_registered(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(server_test::key_exists(HKEY_CURRENT_USER, classes + L"AppID"));
  EXPECT_TRUE(server_test::key_exists(HKEY_CURRENT_USER, classes + L"CLSID"));
  // The two NoRemove keys may be new in the user's classes; they stay, nothing else does.
  e2e::classes_snapshot user_after = e2e::snapshot(HKEY_CURRENT_USER);
  user_after.top.erase(L"AppID");
  user_after.top.erase(L"CLSID");
  e2e::classes_snapshot expected = user_before;
  expected.top.erase(L"AppID");
  expected.top.erase(L"CLSID");
  EXPECT_TRUE(user_after == expected);
}

// A folder whose name begins with a switch word and a blank, as an installer might pick.
class odd_folder_copy {
 public:
  odd_folder_copy() {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    parent_ = std::wstring(temp) + L"kv-e2e-" + std::to_wstring(GetCurrentProcessId());
    folder_ = parent_ + L"\\-RegServer x";
    CreateDirectoryW(parent_.c_str(), nullptr);
    CreateDirectoryW(folder_.c_str(), nullptr);
    path_ = folder_ + L"\\DoDadev.exe";
    copied_ = CopyFileW(e2e::server_exe().c_str(), path_.c_str(), FALSE);
  }
  ~odd_folder_copy() {
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
    RemoveDirectoryW(parent_.c_str());
  }
  bool copied() const { return copied_; }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring parent_, folder_, path_;
  bool copied_ = false;
};

TEST_F(server_registration, switch_word_inside_the_program_path_is_not_a_switch) {
  odd_folder_copy copy;
  ASSERT_TRUE(copy.copied());
  for (const bool quoted : {true, false}) {
    SCOPED_TRACE(quoted ? "quoted path" : "unquoted path");
    const std::wstring command_line = quoted ? L"\"" + copy.path() + L"\"" : copy.path();
    e2e::process server(copy.path(), command_line);
    ASSERT_TRUE(server.started());
    EXPECT_NE(server.wait_until_serving(), 0u);
    expect_nothing_registered(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(e2e::end_server(server.handle(), server.id()));
    EXPECT_EQ(server.exit_code(), 0u);
  }
  // A real switch after such a path is still found.
  EXPECT_EQ(e2e::run_server(L"/RegServer", copy.path()), 0u);
  expect_scripts_written(HKEY_LOCAL_MACHINE, copy.path());
}

}  // namespace
