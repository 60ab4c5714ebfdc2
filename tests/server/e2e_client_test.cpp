// dodadev-call.exe against the real server.
#include <algorithm>

#include "e2e_support.h"

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
