// dodadev-call.exe against the real server.
#include <algorithm>

#include "e2e_support.h"
#include "tests/support/fresh_folder.h"
#include "types/owners.h"

namespace {

struct client_run {
  DWORD exit_code = STILL_ACTIVE;
  std::wstring output;  // standard output and error together
};

// Runs dodadev-call with `arguments`, its output going to a file.
client_run run_client(const std::wstring& arguments) {
  client_run run;
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring output_path = std::wstring(temp) + L"kv-e2e-client-" + std::to_wstring(GetCurrentProcessId());
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE output = CreateFileW(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return run;
  {
    const std::wstring program = e2e::beside(L"dodadev-call.exe");
    e2e::process client(program, L"\"" + program + L"\" " + arguments, output);
    CloseHandle(output);
    if (!client.started() || !client.wait(60000)) return run;
    run.exit_code = client.exit_code();
  }
  const std::vector<unsigned char> bytes = kv::test::read_bytes(output_path);
  DeleteFileW(output_path.c_str());
  const int units = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<int>(bytes.size()), nullptr, 0);
  run.output.assign(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                      run.output.data(), units);
  return run;
}

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

using client_e2e = e2e::server_e2e;

TEST_F(client_e2e, dodadev_call_explains_an_unregistered_class) {
  const client_run run = run_client(L"keystore_drives populated=true types=3");
  EXPECT_EQ(run.exit_code, 3u);
  EXPECT_TRUE(contains(run.output, L"0x80040154 Class not registered")) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"/RegServer"));
  EXPECT_TRUE(contains(run.output, L"No LocalServer32 is registered"));
}

TEST_F(client_e2e, dodadev_call_names_a_registered_server_that_cannot_start) {
  const std::wstring missing = L"\"C:\\kv-nowhere\\DoDadev.exe\"";
  const std::wstring key = std::wstring(L"Software\\Classes\\CLSID\\") + e2e::clsid_text + L"\\LocalServer32";
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, missing.c_str(),
                            static_cast<DWORD>((missing.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  const client_run run = run_client(L"get_version");
  EXPECT_EQ(run.exit_code, 3u);
  // Wine answers 0x80040154 here, Windows 0x80080005; either way the program is named.
  EXPECT_TRUE(contains(run.output, L"LocalServer32 of LU_proxy_disp: " + missing)) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"does not exist"));
}

TEST_F(client_e2e, dodadev_call_prints_answers_through_vtable_and_dispatch) {
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
  e2e::provider_registration provider;
  ASSERT_TRUE(provider.registered());
  kv::test::provider_script script;
  script.type = 4294967295u;
  ASSERT_EQ(kv::test::store_script(script, record_file_), ERROR_SUCCESS);
  e2e::process server(e2e::server_exe());
  ASSERT_NE(server.wait_until_serving(), 0u);

  for (const wchar_t* how : {L"", L"--dispatch "}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(how)));
    const client_run run = run_client(std::wstring(how) + L"keystore_type \"drive=C:\\keys & <more>\"");
    EXPECT_EQ(run.exit_code, 0u) << testing::PrintToString(run.output);
    EXPECT_TRUE(contains(run.output, L"ret_code: 0x00000000")) << testing::PrintToString(run.output);
    EXPECT_TRUE(contains(run.output, L"<value>4294967295</value>"));
  }
  // The escaped value reached the provider as typed.
  const std::vector<std::wstring> record = kv::test::read_record_file(record_file_);
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(std::count(record.begin(), record.end(), L"GetType(\"C:\\keys & <more>\", out(0))"), 2);

  const client_run refused = run_client(L"keystore_create_key name=k");
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_TRUE(contains(refused.output, L"method result: 0x00000001 S_FALSE")) << testing::PrintToString(refused.output);
  EXPECT_TRUE(contains(refused.output, L"ret_code: 0x80070057"));

  provider.remove();
  const client_run no_provider = run_client(L"keystore_type drive=C:\\");
  EXPECT_EQ(no_provider.exit_code, 1u);
  EXPECT_TRUE(contains(no_provider.output, L"ret_code: 0x80040154")) << testing::PrintToString(no_provider.output);
  EXPECT_TRUE(contains(no_provider.output, L"keystore provider"));
}

TEST_F(client_e2e, dodadev_call_sends_a_request_file_as_it_stands) {
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
  e2e::process server(e2e::server_exe());
  ASSERT_NE(server.wait_until_serving(), 0u);
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring path = std::wstring(temp) + L"kv-e2e-request-" + std::to_wstring(GetCurrentProcessId()) + L".xml";
  const char document[] = "\xEF\xBB\xBF<function name=\"get_version\"/>";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, document, sizeof document - 1, &written, nullptr);
  CloseHandle(file);
  const client_run run = run_client(L"--request \"" + path + L"\"");
  DeleteFileW(path.c_str());
  EXPECT_EQ(run.exit_code, 0u) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"ret_code: 0x00000000"));
  EXPECT_FALSE(contains(run.output, L"\nresult:"));
}

// The real keystore provider behind the server: a keystore on a folder drive, one key created,
// found by its id, refused with a wrong password, deleted; the password never reaches the trace.
class keystore_e2e : public e2e::server_e2e {
 protected:
  static constexpr wchar_t settings_key[] = L"Software\\DoDadev\\Provider";
  static constexpr wchar_t password[] = L"E2e-Keystore-Secret-1";

  void SetUp() override {
    e2e::server_e2e::SetUp();
    HKEY existing = nullptr;
    had_settings_ = RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, &existing) == ERROR_SUCCESS;
    if (existing) RegCloseKey(existing);
    const DWORD work_factor = 1000;  // the provider's documented test setting
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, settings_key, L"TestWorkFactor", REG_DWORD, &work_factor,
                              sizeof work_factor),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    provider_.remove();
    if (had_settings_) {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, settings_key, L"TestWorkFactor");
    } else {
      RegDeleteTreeW(HKEY_CURRENT_USER, settings_key);
    }
    e2e::server_e2e::TearDown();
  }

  // The ids of the keys on the drive: the names of the id links (docs/provider.md).
  std::vector<std::wstring> key_ids() const {
    std::vector<std::wstring> ids;
    WIN32_FIND_DATAW found;
    const kv::unique_find search(FindFirstFileW((drive_ + L"\\DoDadev Keystore\\ids\\*.luid").c_str(), &found));
    if (!search) return ids;
    do {
      std::wstring name = found.cFileName;
      ids.push_back(name.substr(0, name.size() - 5));
    } while (FindNextFileW(search.get(), &found));
    return ids;
  }

  std::wstring drive_arg() const { return L"\"drive=" + drive_ + L"\""; }

  e2e::provider_registration provider_{L"dodadev_provider.dll"};
  bool had_settings_ = false;
  kv::test::fresh_folder folder_{L"kv-e2e-keystore-"};
  const std::wstring& drive_ = folder_.path();
};

TEST_F(keystore_e2e, a_key_session_through_the_server_with_the_real_provider) {
  ASSERT_TRUE(provider_.registered());
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
  const std::wstring with_password = L" password=" + std::wstring(password);

  const client_run created = run_client(L"keystore_create_pwd " + drive_arg() + with_password);
  ASSERT_EQ(created.exit_code, 0u) << testing::PrintToString(created.output);
  const client_run key = run_client(L"keystore_create_key_pwd " + drive_arg() + with_password +
                                    L" name=alpha timeout=60 def_local_key=false");
  ASSERT_EQ(key.exit_code, 0u) << testing::PrintToString(key.output);
  const std::vector<std::wstring> ids = key_ids();
  ASSERT_EQ(ids.size(), 1u);
  const std::wstring id = ids.front();

  const client_run located = run_client(L"keystore_locate id=" + id);
  EXPECT_EQ(located.exit_code, 0u) << testing::PrintToString(located.output);
  EXPECT_TRUE(contains(located.output, L"<path>" + drive_ + L"\\DoDadev Keystore\\alpha.lukey</path>"))
      << testing::PrintToString(located.output);

  const client_run refused = run_client(L"keystore_create_key_pwd " + drive_arg() +
                                        L" password=not-the-password name=beta timeout=60 def_local_key=false");
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_TRUE(contains(refused.output, L"ret_code: 0x80070056")) << testing::PrintToString(refused.output);
  EXPECT_EQ(key_ids().size(), 1u);

  const client_run deleted = run_client(L"keystore_delete_key " + drive_arg() + L" id=" + id);
  EXPECT_EQ(deleted.exit_code, 0u) << testing::PrintToString(deleted.output);
  const client_run gone = run_client(L"keystore_locate id=" + id);
  EXPECT_EQ(gone.exit_code, 0u) << testing::PrintToString(gone.output);
  EXPECT_FALSE(contains(gone.output, L"alpha.lukey"));

  // Every call went through the trace, and no password with it.
  const std::wstring trace = kv::test::read_trace_text();
  EXPECT_TRUE(contains(trace, L"(keystore_delete_key)"));
  EXPECT_FALSE(contains(trace, password));
  EXPECT_FALSE(contains(trace, L"not-the-password"));
}

TEST_F(client_e2e, dodadev_call_encodes_and_decodes_for_debugging) {
  const std::wstring plain = L"<function name='x'/>";
  const client_run encoded = run_client(L"--encode \"" + plain + L"\"");
  ASSERT_EQ(encoded.exit_code, 0u);
  std::wstring coded = encoded.output;
  while (!coded.empty() && (coded.back() == L'\n' || coded.back() == L'\r')) coded.pop_back();
  ASSERT_EQ(coded.size(), plain.size() + (plain.size() + 14) / 15);  // the units and their carriers
  for (wchar_t c : coded) {
    EXPECT_GE(c, 0x4000);
    EXPECT_LE(c, 0xBFFF);
  }
  const client_run decoded = run_client(L"--decode " + coded);
  EXPECT_EQ(decoded.exit_code, 0u);
  EXPECT_EQ(decoded.output, plain + L"\n");

  const client_run wrong = run_client(L"keystore_drives populated");
  EXPECT_EQ(wrong.exit_code, 2u);
  EXPECT_TRUE(contains(wrong.output, L"NAME=VALUE"));
}

}  // namespace
