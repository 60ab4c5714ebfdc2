// dodadev-call.exe against the real server.
#include <algorithm>
#include <cstring>
#include <optional>

#include "client_test_support.h"
#include "crypto_support.h"
#include "tests/server/e2e_support.h"
#include "tests/support/fresh_folder.h"
#include "win/owners.h"

namespace {

struct client_run {
  DWORD exit_code = STILL_ACTIVE;
  std::wstring output;  // standard output and error together
};

std::wstring utf8_file_text(const std::wstring& path) {
  const std::vector<unsigned char> bytes = kv::test::read_bytes(path);
  std::wstring text(bytes.size(), L'\0');
  const int units = MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(bytes.data()),
                                        static_cast<int>(bytes.size()), text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<std::size_t>(units > 0 ? units : 0));
  return text;
}

std::wstring temp_name(const wchar_t* kind) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  static int runs = 0;
  return std::wstring(temp) + kind + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++runs);
}

// Runs `program` with `arguments`, its output going to a file; `input`, when given, is its
// standard input (from a file), else it has none. `creation`: as kv::test::start_process takes it.
client_run run_program(const std::wstring& program, const std::wstring& arguments,
                       const std::string* input = nullptr, DWORD creation = CREATE_NO_WINDOW) {
  client_run run;
  const std::wstring output_path = temp_name(L"kv-e2e-client-");
  // A server that COM starts for the client gets copies of the client's standard handles (Wine
  // gives a process that inherits nothing its parent's standard handles), so the file may stay
  // open after the client ended: it can still be deleted, and no later run reuses its name.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  kv::unique_file output(CreateFileW(output_path.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output) return run;
  const std::wstring input_path = temp_name(L"kv-e2e-input-");
  kv::unique_file input_file;
  if (input) {
    if (!client_test::write_file(input_path, *input)) return run;
    input_file.reset(CreateFileW(input_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &inherit,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!input_file) return run;
  }
  PROCESS_INFORMATION started;
  std::string failure;
  if (!kv::test::start_process(program, L"\"" + program + L"\" " + arguments, output.get(), started, failure,
                               input_file.get(), creation)) {
    ADD_FAILURE() << failure;
    return run;
  }
  const kv::unique_handle client(started.hProcess);
  output.reset();
  input_file.reset();
  if (WaitForSingleObject(client.get(), 60000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the client did not end";
    TerminateProcess(client.get(), 1);
    WaitForSingleObject(client.get(), 30000);
  }
  GetExitCodeProcess(client.get(), &run.exit_code);
  run.output = utf8_file_text(output_path);
  DeleteFileW(output_path.c_str());
  if (input) DeleteFileW(input_path.c_str());
  return run;
}

client_run run_client(const std::wstring& arguments, const std::string* input = nullptr) {
  return run_program(e2e::beside(L"dodadev-call.exe"), arguments, input);
}

// samples/scripts/call.vbs, copied beside the test program byte for byte, under the system's
// cscript.exe. Wine's VBScript has no ChrW and AscW, and Wine's cscript ends a script silently
// with exit code 0 on an error the script does not handle, so only the printed answer shows that
// the whole script ran.
client_run run_vbscript_sample(const std::wstring& arguments, const std::string* input = nullptr) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return run_program(std::wstring(system) + L"\\cscript.exe",
                     L"//nologo \"" + e2e::beside(L"call.vbs") + L"\" " + arguments, input);
}

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }


using client_e2e = e2e::server_e2e;

// The registered server, serving, with the recording provider registered; its GetType answers
// 4294967295.
class serving_client_e2e : public e2e::server_e2e {
 protected:
  void SetUp() override {
    e2e::server_e2e::SetUp();
    ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
    provider_.emplace();
    ASSERT_TRUE(provider_->registered());
    kv::test::provider_script script;
    script.type = 4294967295u;
    ASSERT_EQ(kv::test::store_script(script, record_file_), ERROR_SUCCESS);
    server_.emplace(e2e::server_exe());
    ASSERT_NE(server_->wait_until_serving(), 0u);
  }
  void TearDown() override {
    server_.reset();
    provider_.reset();
    e2e::server_e2e::TearDown();
  }

  std::optional<e2e::provider_registration> provider_;
  std::optional<e2e::process> server_;
};

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

TEST_F(serving_client_e2e, dodadev_call_prints_answers_through_vtable_and_dispatch) {
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

  provider_->remove();
  const client_run no_provider = run_client(L"keystore_type drive=C:\\");
  EXPECT_EQ(no_provider.exit_code, 1u);
  EXPECT_TRUE(contains(no_provider.output, L"ret_code: 0x80040154")) << testing::PrintToString(no_provider.output);
  EXPECT_TRUE(contains(no_provider.output, L"keystore provider"));
}

TEST_F(serving_client_e2e, the_vbscript_sample_calls_through_the_script_engine) {
  const client_run run = run_vbscript_sample(L"keystore_type \"drive=C:\\keys & <more>\"");
  EXPECT_EQ(run.exit_code, 0u) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"ret_code: 0x00000000")) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"<value>4294967295</value>"));
  const std::vector<std::wstring> record = kv::test::read_record_file(record_file_);
  EXPECT_EQ(std::count(record.begin(), record.end(), L"GetType(\"C:\\keys & <more>\", out(0))"), 1);

  const client_run refused = run_vbscript_sample(L"keystore_create_key name=k");
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_TRUE(contains(refused.output, L"ret_code: 0x80070057")) << testing::PrintToString(refused.output);
  EXPECT_TRUE(contains(refused.output, L"result: none"));
}

// The sample's --secret: a password from a file reaches the provider, and from standard input
// where the script host has one.
TEST_F(serving_client_e2e, the_vbscript_sample_reads_secrets_off_its_command_line) {
  const kv::test::fresh_folder folder(L"kv-e2e-vbs-");
  const std::wstring secret_file = folder.path() + L"\\pw.txt";
  ASSERT_TRUE(client_test::write_file(secret_file, "Vbs-Secret-6\r\nnot this line\r\n"));
  const client_run from_file =
      run_vbscript_sample(L"keystore_create_pwd drive=C:\\keys --secret \"password=file:" + secret_file + L"\"");
  EXPECT_EQ(from_file.exit_code, 0u) << testing::PrintToString(from_file.output);
  EXPECT_TRUE(contains(from_file.output, L"ret_code: 0x00000000")) << testing::PrintToString(from_file.output);
  std::vector<std::wstring> record = kv::test::read_record_file(record_file_);
  EXPECT_EQ(std::count(record.begin(), record.end(), L"CreatePwd(\"C:\\keys\", \"Vbs-Secret-6\")"), 1)
      << testing::PrintToString(record);

  const std::string line = "Vbs-Secret-7\r\n";
  const client_run from_stdin =
      run_vbscript_sample(L"keystore_create_pwd drive=C:\\keys --secret password=stdin", &line);
  record = kv::test::read_record_file(record_file_);
  if (e2e::running_on_wine()) {
    // Wine's cscript gives scripts no WScript.StdIn.
    EXPECT_EQ(from_stdin.exit_code, 2u) << testing::PrintToString(from_stdin.output);
    EXPECT_TRUE(
        contains(from_stdin.output, L"--secret password=stdin: this script host gives scripts no standard input"))
        << testing::PrintToString(from_stdin.output);
  } else {
    EXPECT_EQ(from_stdin.exit_code, 0u) << testing::PrintToString(from_stdin.output);
    EXPECT_EQ(std::count(record.begin(), record.end(), L"CreatePwd(\"C:\\keys\", \"Vbs-Secret-7\")"), 1);
  }
}

// Passwords that dodadev-call reads (the environment form is checked in client_sources_test.cpp):
// each reaches the provider as read, and neither --show-request nor the trace shows it. None of
// them is on the client's command line.
TEST_F(serving_client_e2e, dodadev_call_reads_secrets_from_stdin_and_files) {
  const kv::test::fresh_folder folder(L"kv-e2e-secrets-");
  const std::wstring secret_file = folder.path() + L"\\pw.txt";
  ASSERT_TRUE(client_test::write_file(secret_file, "File-Secret-2\r\nnot this line\r\n"));
  struct row {
    const char* name;
    std::wstring arguments;
    std::optional<std::string> input;
    std::wstring recorded;
    std::vector<std::wstring> secrets;
  };
  const std::wstring id = L"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  const row rows[] = {
      {"stdin", L"keystore_create_pwd drive=C:\\keys --secret password=stdin", "Stdin-Secret-1\r\n",
       L"CreatePwd(\"C:\\keys\", \"Stdin-Secret-1\")", {L"Stdin-Secret-1"}},
      {"file", L"keystore_create_pwd drive=C:\\keys --secret \"password=file:" + secret_file + L"\"", std::nullopt,
       L"CreatePwd(\"C:\\keys\", \"File-Secret-2\")", {L"File-Secret-2"}},
      {"export password from a file", L"keystore_export_key drive=C:\\keys id=" + id +
       L" export_path=D:\\out --secret \"export_password=file:" + secret_file + L"\"", std::nullopt,
       L"ExportKey(\"C:\\keys\", " + id + L", \"D:\\out\", \"File-Secret-2\")", {L"File-Secret-2"}},
      {"two lines of stdin, in the order given, the last without its line end",
       L"keystore_create_key_pwd drive=C:\\keys --secret name=stdin --secret password=stdin timeout=60 "
       L"def_local_key=false",
       "Name-Line-1\nStdin-Secret-5", L"CreateKey(\"C:\\keys\", \"Stdin-Secret-5\", \"Name-Line-1\", 60, 0)",
       {L"Name-Line-1", L"Stdin-Secret-5"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const client_run run = run_client(L"--show-request " + r.arguments, r.input ? &*r.input : nullptr);
    EXPECT_EQ(run.exit_code, 0u) << testing::PrintToString(run.output);
    EXPECT_TRUE(contains(run.output, L"ret_code: 0x00000000")) << testing::PrintToString(run.output);
    EXPECT_TRUE(contains(run.output, L">********</parameter>")) << testing::PrintToString(run.output);
    for (const std::wstring& secret : r.secrets) EXPECT_FALSE(contains(run.output, secret));
    const std::vector<std::wstring> record = kv::test::read_record_file(record_file_);
    EXPECT_NE(std::find(record.begin(), record.end(), r.recorded), record.end()) << testing::PrintToString(record);
  }
  const std::wstring trace = kv::test::read_trace_text();
  EXPECT_TRUE(contains(trace, L"(keystore_create_key_pwd)"));
  for (const row& r : rows) {
    for (const std::wstring& secret : r.secrets) EXPECT_FALSE(contains(trace, secret)) << r.name;
  }
}

// Certificate files, secrets and PFX files that cannot be used: a clear message, the usage exit
// code, and no call (the recording provider was never created).
TEST_F(serving_client_e2e, dodadev_call_sends_nothing_for_what_it_cannot_read) {
  const kv::test::fresh_folder folder(L"kv-e2e-unreadable-");
  const std::wstring text_file = folder.path() + L"\\notes.txt", empty_file = folder.path() + L"\\empty.txt";
  const std::wstring der_file = folder.path() + L"\\valid.der";
  ASSERT_TRUE(client_test::write_file(text_file, "serial:ARA=,issuer:MAA=\n"));
  ASSERT_TRUE(client_test::write_file(empty_file, ""));
  ASSERT_TRUE(client_test::write_file(der_file, client_test::der_of(fixture::user_valid)));
  struct row {
    const char* name;
    std::wstring arguments;
    std::optional<std::string> input;
    const wchar_t* message;
  };
  const row rows[] = {
      {"missing certificate file", L"keystore_create_cert drive=C:\\keys \"certificate=@" + folder.path() +
       L"\\missing.pem\"", std::nullopt, L"missing.pem: the file cannot be read (0x80070002"},
      {"not a certificate", L"keystore_create_cert drive=C:\\keys \"certificate=@" + text_file + L"\"", std::nullopt,
       L"notes.txt: the file holds no certificate (neither PEM nor DER)"},
      {"empty stdin", L"keystore_create_pwd drive=C:\\keys --secret password=stdin", "",
       L"--secret password=stdin: standard input ended before the line with the secret"},
      {"no stdin at all", L"keystore_create_pwd drive=C:\\keys --secret password=stdin", std::nullopt,
       L"--secret password=stdin: there is no standard input"},
      {"empty secret file", L"keystore_create_pwd drive=C:\\keys --secret \"password=file:" + empty_file + L"\"",
       std::nullopt, L"the file is empty"},
      {"unknown source", L"keystore_create_pwd drive=C:\\keys --secret password=pass:visible", std::nullopt,
       L"a secret's SOURCE is prompt, stdin, file:PATH or env:VAR"},
      // A certificate file is read before any secret: nobody types a password for a call that cannot be made.
      {"certificate file before the secret", L"keystore_import_cert drive=C:\\keys import_path=D:\\in "
       L"--secret password=stdin \"certificate=@" + text_file + L"\"", "", L"notes.txt: the file holds no certificate"},
      {"a PFX file that is none", L"--import-pfx \"" + der_file + L"\" --secret password=stdin", "pw\n",
       L"valid.der: the file is not a PFX (PKCS #12) file"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const client_run run = run_client(r.arguments, r.input ? &*r.input : nullptr);
    EXPECT_EQ(run.exit_code, 2u) << testing::PrintToString(run.output);
    EXPECT_TRUE(contains(run.output, r.message)) << testing::PrintToString(run.output);
    EXPECT_FALSE(contains(run.output, L"ret_code")) << testing::PrintToString(run.output);
    EXPECT_TRUE(kv::test::read_record_file(record_file_).empty());
  }
  // A prompt where there is no console. (The prompt itself is not tested here: under Wine 8
  // without a display a program started with CREATE_NEW_CONSOLE gets no console to type into.)
  const client_run run = run_program(e2e::beside(L"dodadev-call.exe"),
                                     L"keystore_create_pwd drive=C:\\keys --secret password=prompt", nullptr,
                                     DETACHED_PROCESS);
  EXPECT_EQ(run.exit_code, 2u) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"--secret password=prompt: there is no console to ask at (use stdin or file:PATH)"))
      << testing::PrintToString(run.output);
  EXPECT_TRUE(kv::test::read_record_file(record_file_).empty());
}

// A certificate parameter from a PEM or DER file: the request carries the serial number (least
// significant byte first) and the issuer as the store holds them, and the server finds the
// certificate in MY by them.
TEST_F(serving_client_e2e, dodadev_call_fills_certificate_parameters_from_pem_and_der_files) {
  crypto_test::clean_stores();
  crypto_test::add_certificate(L"MY", fixture::user_valid);
  const kv::test::fresh_folder folder(L"kv-e2e-certificates-");
  const std::wstring pem_file = folder.path() + L"\\user valid.pem", der_file = folder.path() + L"\\user-valid.cer";
  ASSERT_TRUE(client_test::write_file(pem_file, client_test::pem_of(fixture::user_valid)));
  ASSERT_TRUE(client_test::write_file(der_file, client_test::der_of(fixture::user_valid)));
  const std::wstring carried = L"<certificate serial_number=\"" +
                               crypto_test::base64(crypto_test::serial_bytes(0x1001)) + L"\" issuer=\"" +
                               crypto_test::base64(crypto_test::subject_name(fixture::ca_a)) + L"\"/>";
  struct row {
    std::wstring arguments;
    const wchar_t* recorded;
  };
  const row rows[] = {
      {L"keystore_create_cert drive=C:\\keys \"certificate=@" + pem_file + L"\"",
       L"CreateCert(\"C:\\keys\", cert(Keldra User valid))"},
      {L"keystore_recover_cert drive=C:\\keys --cert \"new_certificate=@" + der_file + L"\"",
       L"RecoverCert(\"C:\\keys\", cert(Keldra User valid))"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.arguments));
    const client_run run = run_client(L"--show-request " + r.arguments);
    EXPECT_EQ(run.exit_code, 0u) << testing::PrintToString(run.output);
    EXPECT_TRUE(contains(run.output, carried)) << testing::PrintToString(run.output);
    const std::vector<std::wstring> record = kv::test::read_record_file(record_file_);
    EXPECT_NE(std::find(record.begin(), record.end(), r.recorded), record.end()) << testing::PrintToString(record);
  }
  crypto_test::clean_stores();
}

bool my_store_holds_keyed_certificate_with_its_key() {
  const kv::unique_cert_store my(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
  const kv::unique_cert_context keyed(
      my ? CertFindCertificateInStore(my.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, L"Keldra User keyed",
                                      nullptr)
         : nullptr);
  if (!keyed) return false;
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
  DWORD key_spec = 0;
  BOOL free_key = FALSE;
  if (!CryptAcquireCertificatePrivateKey(keyed.get(), 0, nullptr, &key, &key_spec, &free_key)) return false;
  if (free_key) CryptReleaseContext(key, 0);
  return true;
}

// --import-pfx puts the certificate with its key into MY, where the server finds it; what it
// prints is a certificate parameter as it can be passed on.
TEST_F(serving_client_e2e, dodadev_call_imports_a_pfx_whose_certificate_the_server_then_finds) {
  crypto_test::clean_stores();
  const std::wstring pfx = e2e::beside(L"user-keyed.pfx");
  const std::string wrong = "not-the-password\n";
  const client_run refused = run_client(L"--import-pfx \"" + pfx + L"\" --secret password=stdin", &wrong);
  EXPECT_EQ(refused.exit_code, 1u) << testing::PrintToString(refused.output);
  EXPECT_TRUE(contains(refused.output, L"user-keyed.pfx: the ")) << testing::PrintToString(refused.output);
  EXPECT_FALSE(my_store_holds_keyed_certificate_with_its_key());

  const std::string password = "keyed\r\n";
  const client_run imported = run_client(L"--import-pfx \"" + pfx + L"\" --secret password=stdin", &password);
  EXPECT_EQ(imported.exit_code, 0u) << testing::PrintToString(imported.output);
  const std::wstring parameter = L"certificate=serial:" + crypto_test::base64(crypto_test::serial_bytes(0x1009)) +
                                 L",issuer:" + crypto_test::base64(crypto_test::subject_name(fixture::user_keyed));
  EXPECT_EQ(imported.output, L"added to the current user's MY store: CN=Keldra User keyed, O=Orvane Test\n  " +
                                 parameter + L"\n");
  EXPECT_TRUE(my_store_holds_keyed_certificate_with_its_key());

  const client_run used = run_client(L"keystore_import_cert drive=C:\\keys import_path=D:\\in " + parameter);
  EXPECT_EQ(used.exit_code, 0u) << testing::PrintToString(used.output);
  const std::vector<std::wstring> record = kv::test::read_record_file(record_file_);
  EXPECT_NE(std::find(record.begin(), record.end(), L"ImportCert(\"C:\\keys\", \"D:\\in\", cert(Keldra User keyed))"),
            record.end())
      << testing::PrintToString(record);
  crypto_test::clean_stores();
}

TEST_F(client_e2e, dodadev_call_sends_a_request_file_as_it_stands) {
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
  e2e::process server(e2e::server_exe());
  ASSERT_NE(server.wait_until_serving(), 0u);
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring path = std::wstring(temp) + L"kv-e2e-request-" + std::to_wstring(GetCurrentProcessId()) + L".xml";
  const char document[] = "\xEF\xBB\xBF<function name=\"get_version\"/>";
  kv::unique_file file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  DWORD written = 0;
  WriteFile(file.get(), document, sizeof document - 1, &written, nullptr);
  file.reset();
  const client_run run = run_client(L"--request \"" + path + L"\"");
  DeleteFileW(path.c_str());
  EXPECT_EQ(run.exit_code, 0u) << testing::PrintToString(run.output);
  EXPECT_TRUE(contains(run.output, L"ret_code: 0x00000000"));
  EXPECT_FALSE(contains(run.output, L"\nresult:"));
}

// The real keystore provider behind the server: a keystore on a folder drive, one key created,
// found by its id, refused with a wrong password, deleted; the password never reaches the trace.
// The provider is the test build of dodadev_provider.dll, which writes with a low work factor.
class keystore_e2e : public e2e::server_e2e {
 protected:
  static constexpr wchar_t settings_key[] = L"Software\\DoDadev\\Provider";
  static constexpr wchar_t password[] = L"E2e-Keystore-Secret-1";

  void SetUp() override {
    e2e::server_e2e::SetUp();
    kv::unique_hkey existing;
    had_settings_ = RegOpenKeyExW(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, existing.put()) == ERROR_SUCCESS;
  }
  void TearDown() override {
    provider_.remove();
    if (!had_settings_) RegDeleteTreeW(HKEY_CURRENT_USER, settings_key);  // the folder drive it remembered
    e2e::server_e2e::TearDown();
  }

  // The ids of the keys on the drive: the names of the id links "ids\\XX\\{GUID}.luid" (docs/provider.md).
  std::vector<std::wstring> key_ids() const {
    std::vector<std::wstring> ids;
    const std::wstring links = drive_ + L"\\DoDadev Keystore\\ids\\";
    WIN32_FIND_DATAW shard;
    const kv::unique_find shards(FindFirstFileW((links + L"??").c_str(), &shard));
    if (!shards) return ids;
    do {
      WIN32_FIND_DATAW found;
      const kv::unique_find search(FindFirstFileW((links + shard.cFileName + L"\\*.luid").c_str(), &found));
      if (!search) continue;
      do {
        const std::wstring name = found.cFileName;
        ids.push_back(name.substr(0, name.size() - 5));
      } while (FindNextFileW(search.get(), &found));
    } while (FindNextFileW(shards.get(), &shard));
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
  EXPECT_TRUE(contains(located.output, L"<path>" + drive_ + L"\\DoDadev Keystore\\keys\\") &&
              contains(located.output, L"\\alpha.lukey</path>"))
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

// samples/provider-c behind the real server: a provider in plain C that reads each certificate
// command's certificate through the provider header's descriptor and journals its serial number.
TEST_F(client_e2e, the_c_sample_provider_sees_the_certificate_of_every_certificate_command) {
  crypto_test::clean_stores();
  crypto_test::add_certificate(L"MY", fixture::user_valid);
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring journal = std::wstring(temp) + L"dodadev-sample-provider.log";
  DeleteFileW(journal.c_str());
  e2e::provider_registration provider(L"dodadev_sample_provider.dll");
  ASSERT_TRUE(provider.registered());
  ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);

  const std::wstring issuer = L",issuer:" + crypto_test::base64(crypto_test::subject_name(fixture::ca_a));
  const std::wstring valid = L"serial:" + crypto_test::base64(crypto_test::serial_bytes(0x1001)) + issuer;
  const std::wstring unknown = L"serial:" + crypto_test::base64(crypto_test::serial_bytes(0x1999)) + issuer;
  struct row {
    std::wstring arguments;
    const wchar_t* ret_code;
    const wchar_t* answer;  // a part of the output, or null
  };
  const row rows[] = {
      {L"keystore_create_cert drive=C:\\keys certificate=" + valid, L"0x00000000", nullptr},
      {L"keystore_import_cert drive=C:\\keys import_path=D:\\in certificate=" + valid, L"0x00000000", nullptr},
      {L"keystore_recover_cert drive=C:\\keys new_certificate=" + valid, L"0x00000000", nullptr},
      {L"keystore_change_token_cert drive=C:\\keys new_certificate=" + valid, L"0x00000000", nullptr},
      {L"keystore_create_cert drive=C:\\keys certificate=" + unknown, L"0x80070057", nullptr},
      {L"keystore_type drive=C:\\", L"0x00000000", L"<value>3</value>"},  // DRIVE_FIXED
      {L"keystore_folder drive=C:\\keys", L"0x00000000", L"<path>C:\\keys\\Sample Keystore</path>"},
      {L"keystore_drives populated=false types=0", L"0x00000000", L"<path>C:\\</path>"},
      {L"keystore_create_pwd drive=C:\\keys password=pw", L"0x80004001", nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(r.arguments));
    const client_run run = run_client(r.arguments);
    EXPECT_TRUE(contains(run.output, std::wstring(L"ret_code: ") + r.ret_code)) << testing::PrintToString(run.output);
    if (r.answer) {
      EXPECT_TRUE(contains(run.output, r.answer)) << testing::PrintToString(run.output);
    }
  }
  EXPECT_EQ(kv::test::read_record_file(journal),
            (std::vector<std::wstring>{L"CreateCert C:\\keys serial 1001", L"ImportCert C:\\keys serial 1001",
                                       L"RecoverCert C:\\keys serial 1001", L"ChangeTokenCert C:\\keys serial 1001",
                                       L"CreateCert C:\\keys no certificate", L"GetType C:\\",
                                       L"GetFolder C:\\keys", L"GetDrives 0 0", L"CreatePwd C:\\keys not done"}));
  DeleteFileW(journal.c_str());
  crypto_test::clean_stores();
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

  // The -file forms write what script hosts read: UTF-16LE after a byte-order mark.
  const std::wstring folder = kv::test::beside_program(L"");
  const std::wstring plain_path = folder + L"kv-e2e-plain.txt", coded_path = folder + L"kv-e2e-coded.txt";
  const std::string plain_utf8 = "<function name='x'/>";
  kv::unique_file file(
      CreateFileW(plain_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file);
  DWORD written = 0;
  WriteFile(file.get(), plain_utf8.data(), static_cast<DWORD>(plain_utf8.size()), &written, nullptr);
  file.reset();
  EXPECT_EQ(run_client(L"--encode-file \"" + plain_path + L"\" --output \"" + coded_path + L"\"").exit_code, 0u);
  const std::vector<unsigned char> bytes = kv::test::read_bytes(coded_path);
  ASSERT_EQ(bytes.size(), 2 + 2 * coded.size());
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);
  EXPECT_EQ(std::memcmp(bytes.data() + 2, coded.data(), 2 * coded.size()), 0);
  EXPECT_EQ(run_client(L"--decode-file \"" + coded_path + L"\" --output \"" + plain_path + L"\"").exit_code, 0u);
  EXPECT_EQ(kv::test::read_bytes(plain_path).size(), 2 + 2 * plain.size());
  DeleteFileW(plain_path.c_str());
  DeleteFileW(coded_path.c_str());
  EXPECT_EQ(run_client(L"--encode x --output").exit_code, 2u);
  EXPECT_EQ(run_client(L"get_version --output x").exit_code, 2u);

  // The help is the one that the client developers' page shows, beside the test program.
  const client_run help = run_client(L"--help");
  EXPECT_EQ(help.exit_code, 0u);
  EXPECT_TRUE(contains(utf8_file_text(e2e::beside(L"protocol.md")), L"```\n" + help.output + L"```\n"))
      << "docs/protocol.md does not show this help:\n" << testing::PrintToString(help.output);

  const client_run wrong = run_client(L"keystore_drives populated");
  EXPECT_EQ(wrong.exit_code, 2u);
  EXPECT_TRUE(contains(wrong.output, L"NAME=VALUE"));
}

}  // namespace
