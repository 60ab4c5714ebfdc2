#include "tests/trace/trace_fixture.h"

#include <algorithm>
#include <iterator>

namespace kv::test {
namespace {

class trace_file : public trace_log {
 protected:
  void SetUp() override {
    trace_log::SetUp();
    set_switch_dword(1);
  }
};

TEST_F(trace_file, new_file_gets_the_byte_order_mark_once) {
  trace_write(L"a\n");
  trace_write(L"b\n");
  const std::vector<unsigned char> bytes = read_bytes(trace_file_path());
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);
  const std::wstring text = read_trace_text();
  EXPECT_EQ(text.find(L'\xFEFF'), std::wstring::npos);
  EXPECT_EQ(lines_after_prefix(text), (std::vector<std::wstring>{L"a\n", L"b\n"}));
}

TEST_F(trace_file, existing_file_is_appended_without_a_second_mark) {
  trace_write(L"a\n");
  trace_seam::reset_cache();  // a new process would see the file as it is
  trace_write(L"b\n");
  const std::vector<unsigned char> bytes = read_bytes(trace_file_path());
  int marks = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) marks += bytes[i] == 0xFF && bytes[i + 1] == 0xFE;
  EXPECT_EQ(marks, 1);
}

TEST_F(trace_file, writes_utf16_little_endian_with_bare_line_feeds) {
  trace_write(L"\u00e9\u20ac\n");
  const std::vector<unsigned char> bytes = read_bytes(trace_file_path());
  ASSERT_GE(bytes.size(), 8u);
  const unsigned char tail[] = {0xE9, 0x00, 0xAC, 0x20, 0x0A, 0x00};
  EXPECT_TRUE(std::equal(std::begin(tail), std::end(tail), bytes.end() - sizeof tail));
}

TEST_F(trace_file, splits_texts_into_lines_with_their_own_prefix) {
  struct row {
    const char* name;
    std::vector<const wchar_t*> writes;
    std::vector<std::wstring> lines;
  };
  const row rows[] = {
      {"two_lines_in_one_text", {L"a\nb\n"}, {L"a\n", L"b\n"}},
      {"text_without_line_feed_continues", {L"a", L"b\n"}, {L"ab\n"}},
      {"continuation_then_new_line", {L"a", L"b\nc", L"d\n", L"e\n"}, {L"ab\n", L"cd\n", L"e\n"}},
      {"empty_lines_keep_their_prefix", {L"\n\n"}, {L"\n", L"\n"}},
      {"empty_text_writes_nothing", {L"", L"x\n"}, {L"x\n"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    DeleteFileW(trace_file_path().c_str());
    for (const wchar_t* text : r.writes) trace_write(text);
    EXPECT_EQ(lines_after_prefix(read_trace_text()), r.lines);
  }
}

TEST_F(trace_file, masks_what_follows_a_secret_tag) {
  struct row {
    const char* name;
    const wchar_t* text;
    const wchar_t* expected;
  };
  const row rows[] = {
      {"element", L"<pin><secret>abc</secret></pin>\n", L"<pin><secret>***</secret></pin>\n"},
      {"up_to_the_end", L"<secret>abc", L"<secret>***"},
      {"two_secrets", L"<secret>a<b><secret>cd<", L"<secret>*<b><secret>**<"},
      {"empty_secret", L"<secret></secret>\n", L"<secret></secret>\n"},
      {"line_feed_inside_is_masked", L"<secret>a\nb</secret>\n", L"<secret>***</secret>\n"},
      {"tag_case_matters", L"<Secret>abc</Secret>\n", L"<Secret>abc</Secret>\n"},
      {"tag_inside_a_secret", L"<secret>x<secret>y\n", L"<secret>*<secret>**"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    DeleteFileW(trace_file_path().c_str());
    trace_write(r.text);
    const std::vector<std::wstring> lines = lines_after_prefix(read_trace_text());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], r.expected);
  }
}

TEST_F(trace_file, does_not_write_through_a_hard_link) {
  const std::wstring victim = temp_folder() + L"kv-trace-victim.txt";
  unique_file file(CreateFileW(victim.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file);
  DWORD written = 0;
  WriteFile(file.get(), "victim", 6, &written, nullptr);
  file.reset();
  ASSERT_TRUE(CreateHardLinkW(trace_file_path().c_str(), victim.c_str(), nullptr));

  trace_write(L"redirected\n");
  const std::vector<unsigned char> bytes = read_bytes(victim);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "victim");

  // Once the second name is gone, the file is an ordinary trace file again.
  DeleteFileW(victim.c_str());
  trace_write(L"kept\n");
  const std::vector<unsigned char> after = read_bytes(trace_file_path());
  EXPECT_EQ(std::string(after.begin(), after.begin() + 6), "victim");
  EXPECT_GT(after.size(), 6u);
}

TEST_F(trace_file, does_not_write_through_a_symbolic_link) {
  const std::wstring victim = temp_folder() + L"kv-trace-victim.txt";
  unique_file(CreateFileW(victim.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr)).reset();
  const BOOL linked = CreateSymbolicLinkW(trace_file_path().c_str(), victim.c_str(), 0);
  const DWORD attributes = GetFileAttributesW(trace_file_path().c_str());
  if (!linked || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    DeleteFileW(trace_file_path().c_str());
    DeleteFileW(victim.c_str());
    GTEST_SKIP() << "this system cannot make a symbolic link here";
  }
  trace_write(L"redirected\n");
  EXPECT_TRUE(read_bytes(victim).empty());
  DeleteFileW(victim.c_str());
}

}  // namespace
}  // namespace kv::test
