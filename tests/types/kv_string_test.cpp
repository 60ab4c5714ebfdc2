#include "types/kv_string.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "tests/types/freed_blocks.h"
#include "types/kv_alloc.h"

namespace {

constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();

std::u16string units_of(const KV_string& s) {
  return s.text() ? std::u16string(reinterpret_cast<const char16_t*>(s.text())) : u"<null>";
}
std::u16string units_of(const wchar_t* text) { return std::u16string(reinterpret_cast<const char16_t*>(text)); }

TEST(kv_string, default_is_empty_and_not_null) {
  KV_string s;
  ASSERT_NE(s.text(), nullptr);
  EXPECT_EQ(s.length(), 0u);
  EXPECT_TRUE(s.equals(L""));
  EXPECT_FALSE(s.equals(nullptr));
}

TEST(kv_string, null_sources_give_a_null_string) {
  const KV_string from_text(static_cast<const wchar_t*>(nullptr));
  const KV_string from_pointer(static_cast<const KV_string*>(nullptr));
  const KV_string copy_of_null(from_text);
  for (const KV_string* s : {&from_text, &from_pointer, &copy_of_null}) {
    EXPECT_TRUE(s->is_null());
    EXPECT_EQ(s->length(), 0u);
    EXPECT_TRUE(s->equals(nullptr));
    EXPECT_FALSE(s->equals(L""));
  }
}

TEST(kv_string, assign_null_leaves_a_null_string) {
  KV_string s(L"abc");
  s.assign(static_cast<const wchar_t*>(nullptr));
  EXPECT_EQ(s.text(), nullptr);
  EXPECT_EQ(s.length(), 0u);
}

TEST(kv_string, assign_of_own_text_keeps_buffer_and_text) {
  KV_string s(L"abc");
  const wchar_t* before = s.text();
  s.assign(s.text());
  const KV_string& same = s;  // through a reference: clang refuses a literal `s = s`
  s = same;
  s.assign(static_cast<const KV_string&>(s));
  EXPECT_EQ(s.text(), before);
  EXPECT_EQ(units_of(s), u"abc");
}

TEST(kv_string, assign_from_inside_own_buffer_copies_before_release) {
  KV_string s(L"abcdef");
  s.assign(s.text() + 2);
  EXPECT_EQ(units_of(s), u"cdef");
}

TEST(kv_string, copies_and_moves_keep_text_in_own_buffers) {
  KV_string original(L"xyz");
  KV_string copy(original);
  KV_string from_pointer(&original);
  EXPECT_NE(copy.text(), original.text());
  EXPECT_NE(from_pointer.text(), original.text());
  EXPECT_EQ(units_of(from_pointer), u"xyz");
  KV_string moved(std::move(copy));
  EXPECT_TRUE(copy.is_null());
  EXPECT_EQ(units_of(moved), u"xyz");
}

struct equals_row {
  const char* name;
  const wchar_t* a;
  const wchar_t* b;
  bool equal;
};

TEST(kv_string, equals_and_differs_follow_null_rules) {
  const equals_row rows[] = {
      {"both null", nullptr, nullptr, true},   {"null vs empty", nullptr, L"", false},
      {"empty vs null", L"", nullptr, false},  {"same", L"a\x8000", L"a\x8000", true},
      {"prefix", L"a", L"ab", false},          {"longer", L"ab", L"a", false},
      {"case counts", L"A", L"a", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const KV_string a(row.a);
    const KV_string b(row.b);
    EXPECT_EQ(a.equals(row.b), row.equal);
    const KV_types& base = a;
    EXPECT_EQ(static_cast<const KV_string&>(base).differs(b), !row.equal);
  }
}

struct left_row {
  const char* name;
  std::size_t start;
  std::size_t count;
  const char16_t* expected;  // null: fails
};

TEST(kv_string, left_checks_its_range) {
  const left_row rows[] = {
      {"whole", 0, 6, u"abcdef"},        {"none from 0", 0, 0, u""},          {"last", 5, 1, u"f"},
      {"past end", 5, 2, nullptr},       {"start at length", 6, 0, nullptr},  {"start past", 7, 0, nullptr},
      {"huge count", 2, npos, nullptr},  {"huge start", npos, 1, nullptr},
  };
  const KV_string s(L"abcdef");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    KV_string target(L"keep");
    EXPECT_EQ(s.left(target, row.start, row.count), row.expected != nullptr);
    EXPECT_EQ(units_of(target), row.expected ? row.expected : u"keep");
  }
}

TEST(kv_string, mid_checks_its_index) {
  const KV_string s(L"abcdef");
  const struct {
    std::size_t index;
    const char16_t* expected;
  } rows[] = {{0, u"abcdef"}, {5, u"f"}, {6, nullptr}, {npos, nullptr}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.index);
    KV_string target(L"keep");
    EXPECT_EQ(s.mid(target, row.index), row.expected != nullptr);
    EXPECT_EQ(units_of(target), row.expected ? row.expected : u"keep");
  }
  KV_string empty;
  KV_string target(L"keep");
  EXPECT_FALSE(empty.left(target, 0, 0));
  EXPECT_FALSE(empty.mid(target, 0));
}

TEST(kv_string, left_and_mid_may_target_the_string_itself) {
  KV_string s(L"abcdef");
  ASSERT_TRUE(s.left(s, 1, 3));
  EXPECT_EQ(units_of(s), u"bcd");
  ASSERT_TRUE(s.mid(s, 1));
  EXPECT_EQ(units_of(s), u"cd");
}

TEST(kv_string, append_joins_and_returns_an_independent_copy) {
  KV_string s(L"ab");
  KV_string result = s.append(L"cd");
  EXPECT_EQ(units_of(s), u"abcd");
  EXPECT_EQ(units_of(result), u"abcd");
  EXPECT_NE(result.text(), s.text());

  KV_string again = s.append(s.text());
  EXPECT_EQ(units_of(s), u"abcdabcd");
}

TEST(kv_string, append_of_null_changes_nothing_but_still_returns_a_copy) {
  KV_string s(L"ab");
  const wchar_t* before = s.text();
  KV_string result = s.append(static_cast<const wchar_t*>(nullptr));
  EXPECT_EQ(s.text(), before);
  EXPECT_EQ(units_of(result), u"ab");
  EXPECT_NE(result.text(), before);

  KV_string null_string(static_cast<const wchar_t*>(nullptr));
  EXPECT_TRUE(null_string.append(static_cast<const wchar_t*>(nullptr)).is_null());
  EXPECT_TRUE(null_string.is_null());
  EXPECT_EQ(units_of(null_string.append(L"x")), u"x");
}

TEST(kv_string, duplicate_gives_a_caller_owned_copy) {
  const KV_string s(L"dup\xFFFF");
  wchar_t* copy = s.duplicate();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, s.text());
  EXPECT_EQ(std::memcmp(copy, s.text(), 5 * sizeof(wchar_t)), 0);
  std::free(copy);
  EXPECT_EQ(KV_string(static_cast<const wchar_t*>(nullptr)).duplicate(), nullptr);
}

TEST(kv_string, impossible_sizes_fail_as_allocation_failure) {
  EXPECT_EQ(kv::buffer_units(5), 6u);
  EXPECT_EQ(kv::buffer_units(npos), npos);
  EXPECT_THROW(kv::copy_text(nullptr, npos), std::bad_alloc);
  EXPECT_THROW(kv::copy_text(nullptr, npos / 2), std::bad_alloc);
  kv::alloc_probe::fail_after(0);
  EXPECT_THROW(KV_string(L"x"), std::bad_alloc);
  kv::alloc_probe::disarm();
}

// The wipe rule: nothing freed may still hold the text.

TEST(kv_string_wipe, freed_block_check_sees_unwiped_text) {
  freed_blocks freed;
  auto* block = static_cast<wchar_t*>(kv::mem_alloc_or_throw(16 * sizeof(wchar_t)));
  std::memcpy(block, L"plain-secret", 13 * sizeof(wchar_t));
  kv::mem_free(block);
  EXPECT_TRUE(freed.hold(L"plain-secret"));
}

TEST(kv_string_wipe, replaced_and_destroyed_buffers_are_zeroed) {
  freed_blocks freed;
  const void* first;
  {
    KV_string s(L"secret-one");
    first = s.text();
    s.assign(L"secret-two");
    s = KV_string(L"secret-three");
    s = static_cast<const wchar_t*>(nullptr);
    KV_string target(L"secret-four");
    KV_string source(L"xy");
    source.left(target, 0, 1);
    source.mid(target, 1);
    KV_string last(L"secret-five");
  }
  const auto* block = freed.block_at(first);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(block->begin(), block->begin() + 10 * sizeof(wchar_t)),
            std::vector<unsigned char>(10 * sizeof(wchar_t), 0));
  for (const wchar_t* secret : {L"secret-one", L"secret-two", L"secret-three", L"secret-four", L"secret-five"}) {
    SCOPED_TRACE(testing::PrintToString(units_of(secret)));
    EXPECT_FALSE(freed.hold(secret));
  }
}

TEST(kv_string_wipe, append_temporary_is_zeroed) {
  freed_blocks freed;
  {
    KV_string s(L"top-");
    s.append(L"secret");
    EXPECT_GE(freed.count(), 3u);  // old buffer, temporary, returned copy
    EXPECT_FALSE(freed.hold(L"top-secret"));
  }
  EXPECT_FALSE(freed.hold(L"top-secret"));
}

TEST(kv_string_wipe, base64_filtered_copy_is_zeroed) {
  freed_blocks freed;
  unsigned char* bytes = nullptr;
  std::uint32_t size = 0;
  {
    const KV_string s(L"c2Vj\r\ncmV0\r\n");
    ASSERT_TRUE(s.decode_base64(&bytes, &size, 0));
    EXPECT_FALSE(freed.hold(L"c2VjcmV0"));
  }
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), "secret");
  std::free(bytes);
}

// File times: 100-ns units since 1601-01-01, shown in UTC.

struct file_time_row {
  const char* name;
  std::uint64_t value;
  const char16_t* expected;  // null: null string
};

TEST(kv_string_file_time, formats_in_utc) {
  const file_time_row rows[] = {
      {"example", 0x01DA6ECC00673B00, u"2024-03-05 07:09:02"},
      {"epoch", 0, u"1601-01-01 00:00:00"},
      {"just under a second", 9999999, u"1601-01-01 00:00:00"},
      {"end of first year", 0x11ED1782E2980, u"1601-12-31 23:59:59"},
      {"1900 is no leap year", 0x14F6598C3A6E980, u"1900-02-28 23:59:59"},
      {"1900 after Feb 28", 0x14F6598C43F8000, u"1900-03-01 00:00:00"},
      {"2000 leap day", 0x1BF82AC81016000, u"2000-02-29 12:00:00"},
      {"end of 2023", 0x1DA3C4575F12980, u"2023-12-31 23:59:59"},
      {"day 366 of 2024", 0x1DB5BE01921A980, u"2024-12-31 23:59:59"},
      {"year 9999", 0x24C85A5ED127A980, u"9999-12-31 23:59:59"},
      {"largest", 0x7FFFFFFFFFFFFFFF, u"30828-09-14 02:48:05"},
      {"top bit", 0x8000000000000000, nullptr},
      {"all bits", 0xFFFFFFFFFFFFFFFF, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(units_of(KV_string(KV_file_time{row.value})), row.expected ? row.expected : u"<null>");
  }
}

TEST(kv_string_file_time, agrees_with_the_system_conversion) {
  std::uint64_t value = 0x0123456789ABCDEF;
  for (int i = 0; i < 2000; ++i) {
    value = value * 6364136223846793005u + 1442695040888963407u;
    const std::uint64_t sample = value >> 1;
    FILETIME ft{static_cast<DWORD>(sample), static_cast<DWORD>(sample >> 32)};
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    wchar_t expected[40];
    swprintf(expected, 40, L"%04d-%02d-%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond);
    SCOPED_TRACE(sample);
    ASSERT_EQ(units_of(KV_string(KV_file_time{sample})), units_of(expected));
  }
}

// Base64.

struct base64_row {
  const char* name;
  const wchar_t* text;
  std::uint32_t size;
  std::vector<unsigned char> bytes;
};

std::vector<unsigned char> ascii(const char* text) { return {text, text + std::strlen(text)}; }

TEST(kv_string_base64, decodes_filters_and_bounds) {
  const base64_row rows[] = {
      {"padded", L"SGVsbG8=", 5, ascii("Hello")},
      {"line break", L"SGVs\r\nbG8=", 5, ascii("Hello")},
      {"other units dropped", L" S*G\x00C4V\x4E00s bG8=\n", 5, ascii("Hello")},
      {"no padding, 7 chars", L"SGVsbG8", 3, ascii("Hel")},
      {"two pads", L"SGVsbA==", 4, ascii("Hell")},
      {"all values", L"+/+/", 3, {0xFB, 0xFF, 0xBF}},
      {"empty", L"", 0, {}},
      {"short tail ignored", L"SGVsbG8=A", 5, ascii("Hello")},
      {"more decoded than size", L"SGVsbG8==", 4, ascii("Hell")},
      {"padding inside", L"SG==SGVs", 6, {'H', 'H', 'e', 'l', 0, 0}},
      {"group opens with pad", L"=AAA", 3, {0, 0, 0}},
      {"lone pad", L"=", 0, {}},
      {"two lone pads", L"==", 0, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    unsigned char* bytes = nullptr;
    std::uint32_t size = 99;
    ASSERT_TRUE(KV_string(row.text).decode_base64(&bytes, &size, 0));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(size, row.size);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + size), row.bytes);
    std::free(bytes);
  }
}

TEST(kv_string_base64, null_string_or_unknown_encoding_fails_with_null_out) {
  unsigned char placeholder = 0;
  unsigned char* const sentinel = &placeholder;
  unsigned char* bytes = sentinel;
  std::uint32_t size = 7;
  EXPECT_FALSE(KV_string(static_cast<const wchar_t*>(nullptr)).decode_base64(&bytes, &size, 0));
  EXPECT_EQ(bytes, nullptr);
  bytes = sentinel;
  EXPECT_FALSE(KV_string(L"SGVsbG8=").decode_base64(&bytes, &size, 1));
  EXPECT_EQ(bytes, nullptr);
}

}  // namespace
