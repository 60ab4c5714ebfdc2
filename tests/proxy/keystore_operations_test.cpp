// keystore_perform_operation: the 22 commands with the arguments each hands the provider, the
// result documents, and what happens around the provider call.
#include <cstdint>
#include <optional>
#include <set>

#include "call_test_support.h"
#include "tests/support/hresult_assert.h"

namespace {

using namespace call_test;

const std::wstring id_text = L"{01234567-89AB-CDEF-0123-456789ABCDEF}";
const std::wstring zero_id = L"{00000000-0000-0000-0000-000000000000}";

class keystore_operation : public call_path {
 protected:
  void SetUp() override {
    call_path::SetUp();
    crypto_test::clean_stores();
    for (const der_blob* user : {&fixture::user_valid, &fixture::user_keycompromise}) {
      crypto_test::add_certificate(L"MY", *user);
    }
    crypto_test::add_certificate(L"CA", fixture::ca_a);
    crypto_test::add_crl(L"CA", fixture::crl_a_first);
  }
  void TearDown() override {
    crypto_test::clean_stores();
    call_path::TearDown();
  }

  // One operation; `result` is what it left in the caller's holder (untouched_ret() if nothing).
  HRESULT perform_request(const std::wstring& command, const std::wstring& request, std::wstring& result) {
    BSTR holder = untouched_ret();
    const HRESULT hr = LU_proxy_disp::keystore_perform_operation(command.c_str(), request.c_str(), &holder);
    const kv::unique_bstr owned = owned_ret(holder);
    result = holder == untouched_ret() ? L"<untouched>" : text_of(owned.get());
    return hr;
  }
  HRESULT perform(const std::wstring& command, const std::vector<parameter>& parameters, std::wstring& result) {
    return perform_request(command, request_text(command, parameters), result);
  }
};

// Every row reads its parameters from a request that holds them in an order of its own (reversed),
// so that the argument order seen by the provider comes from the table, not from the request.
// Then the same request without the row's last parameter names the getter that reads it.
TEST_F(keystore_operation, each_command_makes_its_one_provider_call_with_arguments_in_order) {
  const parameter drive{L"drive", L"C:\\keys"};
  const parameter id{L"id", id_text};
  const parameter valid = certificate_parameter(L"certificate", 0x1001);
  const parameter new_valid = certificate_parameter(L"new_certificate", 0x1001);
  const std::wstring paths_result =
      result_document(L"  <paths>\r\n    <path>C:\\</path>\r\n    <path>E:\\</path>\r\n  </paths>\r\n");
  const std::wstring path_result = result_document(L"  <path>C:\\out</path>\r\n");
  struct row {
    const wchar_t* command;
    const wchar_t* last_getter;  // the getter that reads the last parameter
    std::vector<parameter> parameters;
    std::wstring provider_line;
    std::wstring result;  // <null> for commands without a result document
  };
  const row rows[] = {
      {L"keystore_drives", L"uint", {{L"populated", L"TRUE"}, {L"types", L"12"}}, L"GetDrives(1, 12, out)", paths_result},
      {L"keystore_folder", L"path", {drive}, L"GetFolder(\"C:\\keys\", out)", path_result},
      {L"keystore_path", L"path", {drive}, L"GetPath(\"C:\\keys\", out)", path_result},
      {L"keystore_type", L"path", {drive}, L"GetType(\"C:\\keys\", out(0))", result_document(L"  <value>5</value>\r\n")},
      {L"keystore_locate", L"guid", {id}, L"LocateKey(" + id_text + L", out)", paths_result},
      {L"keystore_create_pwd", L"strg", {drive, {L"password", L"pw"}}, L"CreatePwd(\"C:\\keys\", \"pw\")", L"<null>"},
      {L"keystore_create_cert", L"cert", {drive, valid}, L"CreateCert(\"C:\\keys\", cert(Keldra User valid))", L"<null>"},
      {L"keystore_create_key", L"bool",
       {drive, {L"name", L"k"}, {L"timeout", L"30"}, {L"def_local_key", L"false"}},
       L"CreateKey(\"C:\\keys\", NULL, \"k\", 30, 0)",
       L"<null>"},
      {L"keystore_create_key_pwd", L"bool",
       {drive, {L"password", L"pw"}, {L"name", L"k"}, {L"timeout", L"30"}, {L"def_local_key", L"true"}},
       L"CreateKey(\"C:\\keys\", \"pw\", \"k\", 30, 1)",
       L"<null>"},
      {L"keystore_create_key_cert", L"bool",
       {drive, {L"name", L"k"}, {L"timeout", L"4294967295"}, {L"def_local_key", L"true"}},
       L"CreateKeyCert(\"C:\\keys\", \"k\", 4294967295, 1)",
       L"<null>"},
      {L"keystore_delete_key", L"guid", {drive, id}, L"DeleteKey(\"C:\\keys\", " + id_text + L")", L"<null>"},
      {L"keystore_rename_key", L"strg",
       {drive, id, {L"new_name", L"renamed"}},
       L"RenameKey(\"C:\\keys\", " + id_text + L", \"renamed\")",
       L"<null>"},
      {L"keystore_export_key", L"strg",
       {drive, id, {L"export_path", L"D:\\x.lukey"}, {L"export_password", L"ep"}},
       L"ExportKey(\"C:\\keys\", " + id_text + L", \"D:\\x.lukey\", \"ep\")",
       L"<null>"},
      {L"keystore_import", L"path", {drive, {L"import_path", L"D:\\in"}}, L"Import(\"C:\\keys\", \"D:\\in\", NULL)", L"<null>"},
      {L"keystore_import_pwd", L"strg",
       {drive, {L"import_path", L"D:\\in"}, {L"password", L"pw"}},
       L"Import(\"C:\\keys\", \"D:\\in\", \"pw\")",
       L"<null>"},
      {L"keystore_import_cert", L"cert",
       {drive, {L"import_path", L"D:\\in"}, valid},
       L"ImportCert(\"C:\\keys\", \"D:\\in\", cert(Keldra User valid))",
       L"<null>"},
      {L"keystore_recover_pwd", L"path", {drive, {L"new_password", L"np"}}, L"RecoverPwd(\"C:\\keys\", \"np\")", L"<null>"},
      {L"keystore_recover_cert", L"cert", {drive, new_valid}, L"RecoverCert(\"C:\\keys\", cert(Keldra User valid))", L"<null>"},
      {L"keystore_change_token_pwd", L"path",
       {drive, {L"new_password", L"np"}},
       L"ChangeTokenPwd(\"C:\\keys\", \"np\")",
       L"<null>"},
      {L"keystore_change_token_cert", L"cert",
       {drive, new_valid},
       L"ChangeTokenCert(\"C:\\keys\", cert(Keldra User valid))",
       L"<null>"},
      {L"keystore_verify_pwd_history", L"path",
       {drive, {L"new_password", L"np"}},
       L"VerifyPwdHistory(\"C:\\keys\", \"np\")",
       L"<null>"},
      {L"keystore_verify_last_pwd", L"path",
       {drive, {L"new_password", L"np"}},
       L"VerifyLastPwd(\"C:\\keys\", \"np\")",
       L"<null>"},
  };
  for (const wchar_t* operation : {L"GetDrives", L"LocateKey"}) journal_->script.texts[operation] = std::wstring(L"C:\\\0E:\\\0\0", 8);
  journal_->script.texts[L"GetFolder"] = L"C:\\out";
  journal_->script.texts[L"GetPath"] = L"C:\\out";
  journal_->script.type = 5;
  // Each name at most once: the table is meant to have 22 distinct commands.
  std::set<std::wstring> seen;
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.command)));
    EXPECT_TRUE(seen.insert(r.command).second);
    journal_->calls.clear();
    journal_->certificates_at_release.clear();
    const int created = journal_->created;
    std::vector<parameter> reversed(r.parameters.rbegin(), r.parameters.rend());
    std::wstring result;
    EXPECT_HR(S_OK, perform(r.command, reversed, result));
    EXPECT_EQ(provider_lines(), std::vector<std::wstring>{r.provider_line});
    EXPECT_EQ(result, r.result);
    EXPECT_EQ(journal_->created, created + 1);
    EXPECT_EQ(journal_->destroyed, journal_->created);
    // The provider is released before the values go: at its end the certificate it was handed
    // still holds its context.
    const bool certificate = r.provider_line.find(L"cert(") != std::wstring::npos;
    EXPECT_EQ(journal_->certificates_at_release,
              certificate ? std::vector<std::wstring>{L"cert(Keldra User valid)"} : std::vector<std::wstring>{});

    // Without its last parameter the command is refused, and the report names that getter.
    journal_->calls.clear();
    trace_lines trace;
    EXPECT_HR(E_INVALIDARG, perform(r.command, {r.parameters.begin(), r.parameters.end() - 1}, result));
    EXPECT_TRUE(journal_->calls.empty());
    EXPECT_EQ(trace.get().back(), missing_report(r.last_getter, r.parameters.back().name));
  }
  EXPECT_EQ(seen.size(), 22u);
}

// Only the first missing parameter is looked up and reported; the provider is never called.
TEST_F(keystore_operation, missing_parameter_stops_the_reading_and_the_call) {
  struct row {
    const char* name;
    std::vector<parameter> parameters;
    std::wstring report;
  };
  const row rows[] = {
      {"first missing", {{L"name", L"k"}, {L"timeout", L"1"}}, missing_report(L"path", L"drive")},
      {"later missing", {{L"drive", L"C:"}, {L"name", L"k"}}, missing_report(L"uint", L"timeout")},
      {"not a boolean",
       {{L"drive", L"C:"}, {L"name", L"k"}, {L"timeout", L"1"}, {L"def_local_key", L"yes"}},
       missing_report(L"bool", L"def_local_key")},
      {"drive in other letter case", {{L"Drive", L"C:"}, {L"name", L"k"}}, missing_report(L"path", L"drive")},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    journal_->calls.clear();
    trace_lines trace;
    std::wstring result;
    EXPECT_HR(E_INVALIDARG, perform(L"keystore_create_key", r.parameters, result));
    EXPECT_EQ(result, L"<untouched>");
    EXPECT_TRUE(journal_->calls.empty());
    EXPECT_EQ(trace.get(), (std::vector<std::wstring>{operation_line(L"keystore_create_key"), r.report}));
  }
  EXPECT_EQ(journal_->destroyed, journal_->created);
}

// The first parameter's read meets the broken request; the later reads only see the cleared flag.
TEST_F(keystore_operation, broken_request_is_reported_once_by_the_first_read) {
  struct row {
    const char* name;
    std::wstring request;
    std::wstring report;
  };
  const row rows[] = {
      {"does not load", L"<function name=\"keystore_create_key\"><parameter name=\"drive\">C:",
       L"LU_proxy_disp::get_parameter_path: Failed to load parameters document!"},
      {"no function element", L"<call name=\"keystore_create_key\"/>",
       L"LU_proxy_disp::get_parameter_path: Failed to locate function node!"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    trace_lines trace;
    std::wstring result;
    EXPECT_HR(E_INVALIDARG, perform_request(L"keystore_create_key", r.request, result));
    EXPECT_EQ(result, L"<untouched>");
    EXPECT_EQ(trace.get(), (std::vector<std::wstring>{operation_line(L"keystore_create_key"), r.report}));
  }
  EXPECT_TRUE(journal_->calls.empty());
}

TEST_F(keystore_operation, new_password_goes_through_the_path_getter_unchanged) {
  trace_lines trace;
  std::wstring result;
  EXPECT_HR(S_OK, perform(L"keystore_recover_pwd", {{L"drive", L"C:"}, {L"new_password", L"a\\..\\b/"}}, result));
  EXPECT_EQ(provider_lines(), std::vector<std::wstring>{L"RecoverPwd(\"C:\", \"a\\..\\b/\")"});
  EXPECT_HR(E_INVALIDARG, perform(L"keystore_verify_last_pwd", {{L"drive", L"C:"}}, result));
  EXPECT_EQ(trace.get().back(), missing_report(L"path", L"new_password"));
}

TEST_F(keystore_operation, near_miss_names_are_unknown_commands_that_still_create_a_provider) {
  for (const wchar_t* command : {L"keystore_Drives", L"keystore_drives ", L" keystore_drives", L"my_keystore_drives",
                                 L"keystore_create_key_pw", L"keystore_import_", L"keystore_"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(command)));
    const int created = journal_->created;
    trace_lines trace;
    std::wstring result;
    EXPECT_HR(E_INVALIDARG, perform(command, {{L"populated", L"true"}, {L"types", L"1"}, {L"drive", L"C:"}}, result));
    EXPECT_EQ(result, L"<untouched>");
    EXPECT_EQ(journal_->created, created + 1);
    EXPECT_EQ(journal_->destroyed, journal_->created);
    EXPECT_EQ(trace.get(), (std::vector<std::wstring>{operation_line(command), operation_report(L"Unknown command!")}));
  }
  EXPECT_TRUE(journal_->calls.empty());
}

TEST_F(keystore_operation, provider_that_cannot_be_made_answers_before_the_command_is_examined) {
  journal_->script.results[L"create"] = REGDB_E_CLASSNOTREG;
  for (const wchar_t* command : {L"keystore_drives", L"keystore_unknown"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(command)));
    trace_lines trace;
    std::wstring result;
    EXPECT_HR(REGDB_E_CLASSNOTREG, perform(command, std::vector<parameter>{}, result));
    EXPECT_EQ(result, L"<untouched>");
    const std::vector<std::wstring> lines = trace.get();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], operation_line(command));
    EXPECT_EQ(lines[1], operation_report(L"Failed to create local provider instance!"));
    EXPECT_EQ(lines[2].rfind(operation_report(L"Error: 0x80040154"), 0), 0u) << testing::PrintToString(lines[2]);
  }
  EXPECT_EQ(journal_->created, 0);
}

TEST_F(keystore_operation, provider_failure_passes_through_and_leaves_the_result_alone) {
  journal_->script.results[L"GetDrives"] = static_cast<HRESULT>(0x8007001F);
  journal_->script.texts[L"GetDrives"] = std::wstring(L"C:\\\0\0", 5);
  trace_lines trace;
  std::wstring result;
  EXPECT_HR(static_cast<HRESULT>(0x8007001F), perform(L"keystore_drives", {{L"populated", L"false"}, {L"types", L"0"}}, result));
  EXPECT_EQ(result, L"<untouched>");
  EXPECT_EQ(trace.get(), std::vector<std::wstring>{operation_line(L"keystore_drives")});
}

// "keystore_path" builds its result only on exactly S_OK; the other commands on any success.
TEST_F(keystore_operation, success_codes_other_than_s_ok) {
  journal_->script.results[L"GetPath"] = S_FALSE;
  journal_->script.results[L"GetFolder"] = S_FALSE;
  journal_->script.results[L"CreatePwd"] = static_cast<HRESULT>(0x00040001);
  journal_->script.texts[L"GetPath"] = L"C:\\p";
  journal_->script.texts[L"GetFolder"] = L"C:\\p";
  std::wstring result;
  EXPECT_HR(S_FALSE, perform(L"keystore_path", {{L"drive", L"C:"}}, result));
  EXPECT_EQ(result, L"<untouched>");
  EXPECT_HR(S_FALSE, perform(L"keystore_folder", {{L"drive", L"C:"}}, result));
  EXPECT_EQ(result, result_document(L"  <path>C:\\p</path>\r\n"));
  EXPECT_HR(static_cast<HRESULT>(0x00040001), perform(L"keystore_create_pwd", {{L"drive", L"C:"}, {L"password", L""}}, result));
  EXPECT_EQ(result, L"<null>");
}

TEST_F(keystore_operation, type_is_written_unsigned) {
  for (UINT32 type : {7u, 0u, 4294967295u}) {
    journal_->script.type = type;
    std::wstring result;
    EXPECT_HR(S_OK, perform(L"keystore_type", {{L"drive", L"C:"}}, result));
    EXPECT_EQ(result, result_document(L"  <value>" + std::to_wstring(type) + L"</value>\r\n"));
  }
}

TEST_F(keystore_operation, path_outputs_of_every_shape_become_documents) {
  struct row {
    const char* name;
    const wchar_t* operation;
    const wchar_t* command;
    std::optional<std::wstring> text;  // nullopt: the provider leaves the out text null
    std::wstring lines;
  };
  const std::wstring empty_list = L"  <paths>\r\n  </paths>\r\n";
  const row rows[] = {
      {"list of terminators only", L"GetDrives", L"keystore_drives", std::wstring(L"\0\0", 2), empty_list},
      {"empty string", L"GetDrives", L"keystore_drives", L"", empty_list},
      {"no string", L"LocateKey", L"keystore_locate", std::nullopt, empty_list},
      {"list without its final empty text", L"GetDrives", L"keystore_drives", std::wstring(L"A:\0B:", 5),
       L"  <paths>\r\n    <path>A:</path>\r\n    <path>B:</path>\r\n  </paths>\r\n"},
      {"entries with markup characters", L"LocateKey", L"keystore_locate", std::wstring(L"<a>\0\"b\"&'\0\0", 12),
       L"  <paths>\r\n    <path>&lt;a&gt;</path>\r\n    <path>&quot;b&quot;&amp;&#39;</path>\r\n  </paths>\r\n"},
      {"no folder", L"GetFolder", L"keystore_folder", std::nullopt, L"  <path>\r\n  </path>\r\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    journal_->script.texts.clear();
    if (r.text) journal_->script.texts[r.operation] = *r.text;
    std::wstring result;
    EXPECT_HR(S_OK, perform(r.command, {{L"populated", L"true"}, {L"types", L"1"}, {L"drive", L"C:"}, {L"id", id_text}},
                      result));
    EXPECT_EQ(result, result_document(r.lines));
  }
}

TEST_F(keystore_operation, malformed_id_still_calls_the_provider_with_the_zero_guid) {
  for (const wchar_t* id : {L"{01234567-89AB-CDEF-0123-456789ABCDE}", L"not a guid", L""}) {
    journal_->calls.clear();
    std::wstring result;
    EXPECT_HR(S_OK, perform(L"keystore_locate", {{L"id", id}}, result));
    EXPECT_EQ(provider_lines(), std::vector<std::wstring>{L"LocateKey(" + zero_id + L", out)"});
  }
}

// A certificate that is unknown or revoked still reaches the provider, as an empty descriptor.
TEST_F(keystore_operation, certificate_not_found_or_revoked_is_passed_empty) {
  struct row {
    const char* name;
    std::uint32_t serial;
    std::wstring argument;
    bool revoked;
  };
  const row rows[] = {
      {"valid", 0x1001, L"cert(Keldra User valid)", false},
      {"not in the store", 0x1099, L"cert()", false},
      {"revoked", 0x1002, L"cert()", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    journal_->calls.clear();
    trace_lines trace;
    std::wstring result;
    EXPECT_HR(S_OK, perform(L"keystore_create_cert", {{L"drive", L"C:"}, certificate_parameter(L"certificate", r.serial)},
                      result));
    EXPECT_EQ(provider_lines(), std::vector<std::wstring>{L"CreateCert(\"C:\", " + r.argument + L")"});
    const std::vector<std::wstring> csp = trace.get(L"KV_csp::get_certificate: ");
    EXPECT_EQ(csp.size(), r.revoked ? 1u : 0u);
  }
}

TEST_F(keystore_operation, certificate_parameter_without_certificate_element_is_missing) {
  trace_lines trace;
  std::wstring result;
  EXPECT_HR(E_INVALIDARG, perform(L"keystore_recover_cert", {{L"drive", L"C:"}, {L"new_certificate", L"AQE="}}, result));
  EXPECT_TRUE(journal_->calls.empty());
  EXPECT_EQ(trace.get().back(), missing_report(L"cert", L"new_certificate"));
}

TEST_F(keystore_operation, null_result_holder_is_refused_before_anything_happens) {
  EXPECT_HR(E_POINTER, LU_proxy_disp::keystore_perform_operation(L"keystore_folder", request_text(L"keystore_folder").c_str(),
                                                      nullptr));
  EXPECT_EQ(journal_->created, 0);
}

}  // namespace
