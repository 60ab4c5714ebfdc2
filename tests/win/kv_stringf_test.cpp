#include "win/kv_stringf.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "tests/types/freed_blocks.h"
#include "types/kv_alloc.h"

namespace {

std::u16string units_of(const KV_string& s) {
  return s.text() ? std::u16string(reinterpret_cast<const char16_t*>(s.text())) : u"<null>";
}

TEST(kv_stringf, wide_format_uses_the_runtime_conventions) {
  // %s takes a wide text in a wide format, as the Windows runtime has it.
  EXPECT_EQ(units_of(KV_stringf(L"%d-%s-%04x-%c", 42, L"\x4E00z", 0xBE, L'\x00E4')), u"42-\x4E00z-00be-\x00E4");
}

TEST(kv_stringf, narrow_format_converts_with_the_ansi_code_page) {
  EXPECT_EQ(units_of(KV_stringf(" [%d] ", 7)), u" [7] ");
  const char high[] = "\x80\xE4";
  wchar_t expected[3] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, high, 2, expected, 2), 2);
  const KV_stringf converted("%s", high);
  EXPECT_EQ(units_of(converted), std::u16string(reinterpret_cast<const char16_t*>(expected)));
}

TEST(kv_stringf, null_format_leaves_the_empty_string) {
  const KV_stringf wide(static_cast<const wchar_t*>(nullptr));
  const KV_stringf narrow(static_cast<const char*>(nullptr));
  EXPECT_EQ(units_of(wide), u"");
  EXPECT_EQ(units_of(narrow), u"");
}

TEST(kv_stringf, output_past_the_first_buffer_is_complete) {
  for (std::size_t length : {4095u, 4096u, 8192u, 10000u}) {
    SCOPED_TRACE(length);
    const std::wstring wide(length, L'w');
    const std::string narrow(length, 'n');
    EXPECT_EQ(KV_stringf(L"%s", wide.c_str()).length(), length);
    EXPECT_EQ(KV_stringf(L"<%s>", wide.c_str()).length(), length + 2);
    const KV_stringf converted("%s!", narrow.c_str());
    EXPECT_EQ(converted.length(), length + 1);
    EXPECT_EQ(converted.text()[length], L'!');
  }
}

// Formats the runtime refuses for reasons other than room; none may loop or grow the buffer.
TEST(kv_stringf, rejected_format_gives_the_empty_string) {
  const struct {
    const char* name;
    KV_stringf (*make)();
  } rows[] = {
      {"wide trailing %", [] { return KV_stringf(L"abc%"); }},
      {"wide unknown conversion", [] { return KV_stringf(L"%y", 1); }},
      {"wide width past INT_MAX", [] { return KV_stringf(L"%2147483647d", 1); }},
      {"narrow trailing %", [] { return KV_stringf("abc%"); }},
      {"narrow unconvertible %ls", [] { return KV_stringf("%ls", L"\x4E00\xD800"); }},
      {"narrow long then unknown", [] { return KV_stringf("%5000d%y", 1, 2); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    kv::alloc_probe::reset_count();
    const KV_stringf result = row.make();
    EXPECT_FALSE(result.is_null());
    EXPECT_EQ(units_of(result), u"");
    EXPECT_LE(kv::alloc_probe::count(), 4u);
  }
}

TEST(kv_stringf, text_past_two_to_the_thirty_units_fails_as_allocation) {
  kv::alloc_probe::reset_count();
  EXPECT_THROW(KV_stringf(L"%1073741824d", 1), std::bad_alloc);
  EXPECT_LE(kv::alloc_probe::count(), 3u);
}

TEST(kv_stringf, scratch_buffers_are_wiped) {
  freed_blocks freed;
  { const KV_stringf narrow("%s-%s", "narrow", "secret"); }
  { const KV_stringf wide(L"%s-%s", L"wide", L"secret"); }
  EXPECT_FALSE(freed.hold("narrow-secret"));
  EXPECT_FALSE(freed.hold(L"narrow-secret"));
  EXPECT_FALSE(freed.hold(L"wide-secret"));
}

TEST(kv_stringf, appends_to_a_string) {
  KV_string s(L"n=");
  const KV_string result = s.append(KV_stringf(L"%d", 5));
  EXPECT_EQ(units_of(s), u"n=5");
  EXPECT_EQ(units_of(result), u"n=5");
}

}  // namespace
