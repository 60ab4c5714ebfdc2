// The parameter getters: lookup rules, the shared ok flag, each conversion and its reports.
#include <cstdint>

#include "call_test_support.h"
#include "proxy/uint_text.h"

namespace {

using namespace call_test;

using getter = LU_proxy_disp;

class parameters : public ::testing::Test {
 protected:
  void SetUp() override { crypto_test::trace_reader::switch_off(); }
  void TearDown() override { crypto_test::trace_reader::switch_off(); }
};

std::wstring path_of(const std::wstring& request, const wchar_t* name, std::int32_t& ok) {
  const KV_path value = getter::get_parameter_path(request.c_str(), name, &ok);
  return value.text() ? value.text() : L"<null>";
}

TEST_F(parameters, lookup_takes_the_first_parameter_whose_name_matches_exactly) {
  struct row {
    const char* name;
    std::wstring request;
    std::int32_t ok;
    std::wstring value;
  };
  const row rows[] = {
      {"first of two with the name", request_text(L"f", {{L"drive", L"A"}, {L"drive", L"B"}}), 1, L"A"},
      {"after others", request_text(L"f", {{L"name", L"n"}, {L"x", L"1"}, {L"drive", L"C"}}), 1, L"C"},
      {"other letter case only", request_text(L"f", {{L"Drive", L"A"}, {L"DRIVE", L"B"}}), 0, L""},
      {"prefix or extension only", request_text(L"f", {{L"xdrive", L"A"}, {L"drive2", L"B"}, {L"driv", L"C"}}), 0, L""},
      {"element names in capitals", L"<FUNCTION name=\"f\"><PARAMETER name=\"drive\">D</PARAMETER></FUNCTION>", 1,
       L"D"},
      {"name attribute in capitals", L"<function><parameter NAME=\"drive\">E</parameter></function>", 1, L"E"},
      {"other elements between", L"<function><param name=\"drive\">X</param><p/><parameter name=\"drive\">F"
                                 L"</parameter></function>", 1, L"F"},
      {"parameter without name", L"<function><parameter>G</parameter></function>", 0, L""},
      {"below another parameter", L"<function><parameter name=\"a\"><parameter name=\"drive\">H</parameter>"
                                  L"</parameter></function>", 0, L""},
      {"in the second function", request_text(L"f") + request_text(L"g", {{L"drive", L"I"}}), 0, L""},
      {"after a declaration", L"<?xml version=\"1.0\"?><function><parameter name=\"drive\">J</parameter></function>",
       1, L"J"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::int32_t ok = 1;
    EXPECT_EQ(path_of(r.request, L"drive", ok), r.value);
    EXPECT_EQ(ok, r.ok);
  }
}

TEST_F(parameters, lookup_among_many_parameters_finds_the_last_one) {
  std::vector<parameter> many;
  for (int i = 0; i < 2000; ++i) many.push_back({L"p" + std::to_wstring(i), std::to_wstring(i)});
  many.push_back({L"drive", L"last"});
  const std::wstring request = request_text(L"f", many);
  std::int32_t ok = 1;
  EXPECT_EQ(path_of(request, L"drive", ok), L"last");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(getter::get_parameter_uint(request.c_str(), L"p1234", &ok), 1234u);
}

TEST_F(parameters, failures_are_reported_under_the_getter_and_clear_the_flag) {
  struct row {
    const char* name;
    std::wstring request;
    std::wstring report;
  };
  const std::wstring getter_name = L"LU_proxy_disp::get_parameter_path: ";
  const row rows[] = {
      {"text that does not load", L"<function><parameter name=\"drive\">", getter_name + L"Failed to load parameters document!"},
      {"no function element", L"<call><parameter name=\"drive\">A</parameter></call>",
       getter_name + L"Failed to locate function node!"},
      {"no such parameter", request_text(L"f", {{L"other", L"A"}}), missing_report(L"path", L"drive")},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    trace_lines trace;
    std::int32_t ok = 1;
    EXPECT_EQ(path_of(r.request, L"drive", ok), L"");
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(trace.get(), std::vector<std::wstring>{r.report});
  }
}

TEST_F(parameters, flag_already_cleared_gives_defaults_without_looking) {
  const std::wstring request = request_text(
      L"f", {{L"b", L"true"}, {L"u", L"7"}, {L"s", L"text"}, {L"p", L"C:"}, {L"g", L"01234567-89AB-CDEF-0123-456789ABCDEF"}});
  trace_lines trace;
  std::int32_t ok = 0;
  EXPECT_EQ(getter::get_parameter_bool(request.c_str(), L"b", &ok), 0);
  EXPECT_EQ(getter::get_parameter_uint(request.c_str(), L"u", &ok), 0u);
  EXPECT_EQ(std::wstring(getter::get_parameter_strg(request.c_str(), L"s", &ok).text()), L"");
  EXPECT_EQ(std::wstring(getter::get_parameter_path(request.c_str(), L"p", &ok).text()), L"");
  EXPECT_EQ(std::wstring(getter::get_parameter_guid(request.c_str(), L"g", &ok).text),
            L"{00000000-0000-0000-0000-000000000000}");
  EXPECT_TRUE(getter::get_parameter_cert(request.c_str(), L"c", &ok).empty());
  EXPECT_EQ(ok, 0);
  // A null flag is no flag to share: the default again.
  EXPECT_EQ(getter::get_parameter_uint(request.c_str(), L"u", nullptr), 0u);
  EXPECT_TRUE(trace.get().empty());
}

TEST_F(parameters, getter_after_a_failed_one_reports_nothing) {
  const std::wstring request = request_text(L"f", {{L"u", L"7"}});
  trace_lines trace;
  std::int32_t ok = 1;
  EXPECT_EQ(getter::get_parameter_uint(request.c_str(), L"missing", &ok), 0u);
  EXPECT_EQ(getter::get_parameter_uint(request.c_str(), L"u", &ok), 0u);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(trace.get(), std::vector<std::wstring>{missing_report(L"uint", L"missing")});
}

TEST_F(parameters, bool_accepts_true_and_false_in_any_letter_case_only) {
  struct row {
    const wchar_t* text;
    std::int32_t value;
    std::int32_t ok;
  };
  const row rows[] = {{L"true", 1, 1},  {L"TRUE", 1, 1},  {L"False", 0, 1}, {L"fAlSe", 0, 1}, {L"1", 0, 0},
                      {L"yes", 0, 0},   {L"", 0, 0},      {L"truee", 0, 0}, {L"tru", 0, 0}};
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.text)));
    trace_lines trace;
    std::int32_t ok = 1;
    EXPECT_EQ(getter::get_parameter_bool(request_text(L"f", {{L"flag", r.text}}).c_str(), L"flag", &ok), r.value);
    EXPECT_EQ(ok, r.ok);
    EXPECT_EQ(trace.get().size(), r.ok ? 0u : 1u);
  }
}

// The conversion must read what the runtime's swscanf "%u" reads, so it is checked against the
// runtime itself (msvcrt.dll, not the toolchain's own scanf).
TEST_F(parameters, uint_scan_matches_the_runtime_scanf) {
  using swscanf_function = int(__cdecl*)(const wchar_t*, const wchar_t*, ...);
  HMODULE runtime = GetModuleHandleW(L"msvcrt.dll");
  ASSERT_NE(runtime, nullptr);
  auto runtime_swscanf =
      reinterpret_cast<swscanf_function>(reinterpret_cast<void*>(GetProcAddress(runtime, "swscanf")));
  ASSERT_NE(runtime_swscanf, nullptr);
  const wchar_t* texts[] = {L"42", L"42abc", L"-1", L"+7", L"-0", L"  13", L"\t\r\n9", L"\x3000" L"5",
                            L"\x00A0" L"5", L"\x0085" L"5", L"\x200B" L"5", L"0x10", L"007", L"4294967295",
                            L"4294967296", L"-4294967295", L"99999999999999999999", L"18446744073709551617",
                            L"abc", L"", L" ", L"-", L"+", L"- 1", L"--1", L"+-1", L"\xFF11", L"\x0661",
                            L"1\x0662", L"1 2", L"\x2028" L"8"};
  for (const wchar_t* text : texts) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
    std::uint32_t expected = 0xA5A5A5A5;
    const bool converted = runtime_swscanf(text, L"%u", &expected) == 1;
    std::uint32_t value = 0xA5A5A5A5;
    EXPECT_EQ(kv::scan_uint(text, &value), converted);
    EXPECT_EQ(value, expected);
  }
}

TEST_F(parameters, uint_conversions_through_the_getter) {
  struct row {
    const wchar_t* text;
    std::uint32_t value;
    std::int32_t ok;
  };
  const row rows[] = {{L"42abc", 42, 1},         {L"-1", 4294967295u, 1}, {L"4294967296", 0, 1},
                      {L"+7", 7, 1},              {L"abc", 0, 0},          {L"", 0, 0}};
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.text)));
    std::int32_t ok = 1;
    EXPECT_EQ(getter::get_parameter_uint(request_text(L"f", {{L"n", r.text}}).c_str(), L"n", &ok), r.value);
    EXPECT_EQ(ok, r.ok);
  }
}

TEST_F(parameters, text_values_are_kept_as_given_and_may_be_empty) {
  const std::wstring request =
      request_text(L"f", {{L"empty", L""}, {L"path", L"C:/a/../b\\"}, {L"string", L"x &amp; y"}});
  std::int32_t ok = 1;
  EXPECT_EQ(std::wstring(getter::get_parameter_strg(request.c_str(), L"empty", &ok).text()), L"");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(path_of(request, L"empty", ok), L"");
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(path_of(request, L"path", ok), L"C:/a/../b\\");
  EXPECT_EQ(std::wstring(getter::get_parameter_strg(request.c_str(), L"string", &ok).text()), L"x & y");
  EXPECT_EQ(ok, 1);
}

TEST_F(parameters, guid_texts_of_other_shapes_give_the_zero_guid_and_still_count) {
  struct row {
    const wchar_t* text;
    const wchar_t* value;
  };
  const row rows[] = {
      {L"{01234567-89ab-cdef-0123-456789abcdef}", L"{01234567-89AB-CDEF-0123-456789ABCDEF}"},
      {L"01234567-89AB-CDEF-0123-456789ABCDEF", L"{01234567-89AB-CDEF-0123-456789ABCDEF}"},
      {L"{01234567-89AB-CDEF-0123-456789ABCDE}", L"{00000000-0000-0000-0000-000000000000}"},
      {L"{01234567+89AB-CDEF-0123-456789ABCDEF}", L"{00000000-0000-0000-0000-000000000000}"},
      {L"", L"{00000000-0000-0000-0000-000000000000}"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.text)));
    std::int32_t ok = 1;
    const KV_guid id = getter::get_parameter_guid(request_text(L"f", {{L"id", r.text}}).c_str(), L"id", &ok);
    EXPECT_EQ(std::wstring(id.text), r.value);
    EXPECT_EQ(ok, 1);
  }
}

// Only a certificate element with both attributes in Base64 is looked up; without them the
// parameter still counts, and its descriptor is empty.
TEST_F(parameters, certificate_without_usable_attributes_is_empty_and_counts) {
  crypto_test::clean_stores();
  crypto_test::add_certificate(L"MY", fixture::user_valid);
  const std::wstring serial = crypto_test::base64(crypto_test::serial_bytes(0x1001));
  const std::wstring issuer = crypto_test::base64(crypto_test::subject_name(fixture::ca_a));
  struct row {
    const char* name;
    std::wstring attributes;
    bool found;
  };
  const row rows[] = {
      {"both in Base64", L"serial_number=\"" + serial + L"\" issuer=\"" + issuer + L"\"", true},
      {"no serial number", L"issuer=\"" + issuer + L"\"", false},
      {"no issuer", L"serial_number=\"" + serial + L"\"", false},
      {"serial number not Base64", L"serial_number=\"*-!\" issuer=\"" + issuer + L"\"", false},
      {"issuer not Base64", L"serial_number=\"" + serial + L"\" issuer=\"&#1;&#2;\"", false},
      {"empty issuer", L"serial_number=\"" + serial + L"\" issuer=\"\"", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    trace_lines trace;
    std::int32_t ok = 1;
    const std::wstring request = request_text(L"f", {{L"c", L"<certificate " + r.attributes + L"/>"}});
    EXPECT_EQ(getter::get_parameter_cert(request.c_str(), L"c", &ok).empty(), !r.found);
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(trace.get(L"KV_csp::get_certificate[0]").size(), r.found ? 1u : 0u);
  }
  crypto_test::clean_stores();
}

// The name in the report is the caller's; control characters in it must not break the line.
TEST_F(parameters, reported_names_show_control_characters_escaped) {
  trace_lines trace;
  std::int32_t ok = 1;
  getter::get_parameter_strg(request_text(L"f").c_str(), L"bad\nname\x7F", &ok);
  ok = 1;
  getter::get_parameter_strg(request_text(L"f").c_str(), L"50% of \\x", &ok);
  EXPECT_EQ(trace.get(), (std::vector<std::wstring>{missing_report(L"strg", L"bad\\x0Aname\\x7F"),
                                                    missing_report(L"strg", L"50% of \\x")}));
}

}  // namespace
