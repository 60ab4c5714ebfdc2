#include "tests/support/process_start.h"
#include "tests/trace/trace_fixture.h"

namespace kv::test {
namespace {

class trace_format : public trace_log {
 protected:
  void SetUp() override {
    trace_log::SetUp();
    set_switch_dword(1);
  }
  static std::vector<std::wstring> written() { return lines_after_prefix(read_trace_text()); }
};

// The system text's own line end ("\r\n") stays; the writer splits after its "\n".
std::wstring report_line(const std::wstring& start, DWORD lookup) {
  const std::wstring text = system_message(lookup);
  return text.empty() ? start + L"\n" : start + L" ==> " + text;
}

TEST_F(trace_format, progress_lines_without_format) {
  trace_line(L"LU_proxy_disp::call_function", 0, nullptr);
  trace_line(L"wWinMain", 7, nullptr);
  EXPECT_EQ(written(), (std::vector<std::wstring>{head() + L"LU_proxy_disp::call_function[0]\n",
                                                   head() + L"trace_test!wWinMain[7]\n"}));
}

TEST_F(trace_format, progress_lines_with_format) {
  trace_line(L"CDoDadevModule::PreMessageLoop", 0, L"thread = %d", 872);
  trace_line(L"wWinMain", 0, L"%ls and %s", L"wide", L"also wide");
  trace_line(L"wWinMain", 0, L"Starting");
  EXPECT_EQ(written(), (std::vector<std::wstring>{head() + L"CDoDadevModule::PreMessageLoop[0](thread = 872)\n",
                                                   head() + L"trace_test!wWinMain[0](wide and also wide)\n",
                                                   head() + L"trace_test!wWinMain[0](Starting)\n"}));
}

TEST_F(trace_format, long_texts_are_not_cut) {
  const std::wstring long_text(5000, L'x');
  trace_line(L"a::b", 0, L"%ls", long_text.c_str());
  trace_report(L"a::b", L"%ls\n", long_text.c_str());
  EXPECT_EQ(written(), (std::vector<std::wstring>{head() + L"a::b[0](" + long_text + L")\n",
                                                   head() + L"a::b: " + long_text + L"\n"}));
}

TEST_F(trace_format, reports_format_the_callers_arguments) {
  trace_report(L"KV_csp::get_certificate", L"Failed to find a parameter named '%s'\n", L"serial");
  trace_report(L"wWinMain", L"Failed to open certificate store!\n");
  trace_report(L"wWinMain", L"count %d of %ls", 3, L"5");
  trace_report(L"wWinMain", L" continued\n");
  EXPECT_EQ(written(), (std::vector<std::wstring>{
                           head() + L"KV_csp::get_certificate: Failed to find a parameter named 'serial'\n",
                           head() + L"trace_test!wWinMain: Failed to open certificate store!\n",
                           head() + L"trace_test!wWinMain: count 3 of 5" + head() + L"trace_test!wWinMain:  continued\n",
                       }));
}

TEST_F(trace_format, names_are_printed_literally) {
  trace_report(L"evil%s%n%d::name", L"value %d\n", 5);
  trace_report(L"evil%s%n%d", L"value %d\n", 6);
  trace_line(L"evil%s%n", 0, nullptr);
  trace_line(L"evil%s%n", 0, L"%d", 7);
  trace_result_code(L"evil%s%n", 0x20001234);
  EXPECT_EQ(written(), (std::vector<std::wstring>{
                           head() + L"evil%s%n%d::name: value 5\n",
                           head() + L"trace_test!evil%s%n%d: value 6\n",
                           head() + L"trace_test!evil%s%n[0]\n",
                           head() + L"trace_test!evil%s%n[0](7)\n",
                           report_line(L"trace_test!evil%s%n: Error: 0x20001234", 0x20001234),
                       }));
}

TEST_F(trace_format, result_codes_with_the_system_text) {
  ASSERT_FALSE(system_message(0x80070005).empty());
  ASSERT_FALSE(system_message(5).empty());
  trace_result_code(L"KV_csp::open", 0x80070005);
  trace_result_code(L"KV_csp::open", 0x00100005);
  trace_result_code(L"KV_csp::open", 0x8FF70005);
  trace_result_code(L"wWinMain", 0x20001234);
  const std::vector<std::wstring> lines = written();
  const std::vector<std::wstring> expected = {
      L"KV_csp::open: Error: 0x80070005 ==> " + system_message(0x80070005),
      L"KV_csp::open: SpecialError: 0x00100005 ==> " + system_message(5),
      L"KV_csp::open: SpecialError: 0x8ff70005 ==> " + system_message(0x80070005),
      L"trace_test!wWinMain: Error: 0x20001234\n",
  };
  ASSERT_TRUE(system_message(0x20001234).empty());
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
}

TEST_F(trace_format, last_error_report_uses_the_callers_value) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  trace_last_error(L"KV_csp::get_certificate");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(written(), (std::vector<std::wstring>{report_line(L"KV_csp::get_certificate: Error: 0x00000002", 2)}));
}

TEST_F(trace_format, every_operation_keeps_the_last_error) {
  struct row {
    const char* name;
    void (*call)();
  };
  const row rows[] = {
      {"line", [] { trace_line(L"a::b", 0, L"%d", 1); }},
      {"line_without_format", [] { trace_line(L"wWinMain", 0, nullptr); }},
      {"report", [] { trace_report(L"a::b", L"x\n"); }},
      {"result_code", [] { trace_result_code(L"a::b", 0x80070005); }},
      {"last_error", [] { trace_last_error(L"a::b"); }},
      {"write", [] { trace_write(L"x\n"); }},
  };
  for (bool on : {true, false}) {
    set_switch_dword(on ? 1 : 0);
    trace_seam::reset_cache();
    for (const row& r : rows) {
      SCOPED_TRACE(std::string(r.name) + (on ? " on" : " off"));
      SetLastError(0x1234);
      r.call();
      EXPECT_EQ(GetLastError(), 0x1234u);
    }
  }
}

}  // namespace
}  // namespace kv::test
