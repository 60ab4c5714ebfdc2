// KVXML_string: growth, sizes, substrings and the edge cases of its operations.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>

#include "types/kv_alloc.h"
#include "xml/kvxml_string.h"

namespace {

TEST(xml_string, empty_strings_allocate_nothing) {
  kv::alloc_probe::reset_count();
  {
    KVXML_string a;
    KVXML_string b(L"");
    KVXML_string c(nullptr);
    a.assign(L"");
    a.append(L"");
    a.append(nullptr);
    a.append(L'\0');
    EXPECT_STREQ(a.text(), L"");
    EXPECT_STREQ(c.text(), L"");
    KVXML_string moved(std::move(b));
    EXPECT_STREQ(b.text(), L"");
  }
  EXPECT_EQ(kv::alloc_probe::count(), 0u);
}

struct capacity_row {
  std::int32_t step;
  std::int32_t length;
  std::int32_t capacity;  // after reserving `length` in an empty string
};

const capacity_row capacity_rows[] = {
    {64, 1, 64}, {64, 63, 64}, {64, 64, 128}, {64, 100, 128}, {1024, 1, 1024}, {1024, 1024, 2048},
};

TEST(xml_string, first_capacity_is_next_step_multiple_above_request) {
  for (const capacity_row& row : capacity_rows) {
    SCOPED_TRACE(std::to_string(row.step) + "/" + std::to_string(row.length));
    KVXML_string s(KVXML_step{row.step});
    s.reserve(row.length);
    EXPECT_EQ(s.capacity(), row.capacity);
    s.reserve(row.length);  // no request above the capacity: nothing happens
    EXPECT_EQ(s.capacity(), row.capacity);
  }
}

TEST(xml_string, growth_is_at_least_one_and_a_half_times) {
  KVXML_string s;
  std::int32_t capacity = 0;
  int grown = 0;
  for (int i = 0; i < 100000; ++i) {
    s.append(L'x');
    if (s.capacity() != capacity) {
      if (capacity) {
        EXPECT_GE(s.capacity(), capacity + capacity / 2);
      }
      capacity = s.capacity();
      ++grown;
    }
  }
  EXPECT_EQ(s.length(), 100000);
  EXPECT_LT(grown, 30);
}

TEST(xml_string, copied_units_count_reallocation_only) {
  KVXML_string::reset_copied_units();
  KVXML_string s;
  const std::int32_t n = 1 << 20;
  for (std::int32_t i = 0; i < n; ++i) s.append(L'y');
  std::uint64_t copied = KVXML_string::copied_units();
  EXPECT_GT(copied, 0u);
  EXPECT_LE(copied, 4u * n);
  KVXML_string::reset_copied_units();
  s.assign(L"short");  // replacing a text never copies the old one
  s.clear();
  EXPECT_EQ(KVXML_string::copied_units(), 0u);
}

TEST(xml_string, requests_beyond_int32_fail_cleanly) {
  KVXML_string s(L"keep");
  EXPECT_THROW(s.reserve(std::int64_t{INT32_MAX} + 1), std::bad_alloc);
  EXPECT_THROW(s.append_repeated(L' ', std::int64_t{INT32_MAX}), std::bad_alloc);
  EXPECT_THROW(s.append_repeated(L' ', INT64_MAX), std::bad_alloc);
  EXPECT_STREQ(s.text(), L"keep");
  EXPECT_EQ(s.length(), 4);
}

TEST(xml_string, failed_growth_leaves_text_unchanged) {
  KVXML_string s(L"abc");
  kv::alloc_probe::fail_after(0);
  EXPECT_THROW(s.append(std::wstring(200, L'z').c_str()), std::bad_alloc);
  EXPECT_THROW(s.assign(std::wstring(200, L'z').c_str()), std::bad_alloc);
  kv::alloc_probe::disarm();
  EXPECT_STREQ(s.text(), L"abc");
}

TEST(xml_string, single_characters_and_zero) {
  KVXML_string s;
  s.assign(L'a');
  s.append(L'b');
  s.append(L'\0');
  EXPECT_STREQ(s.text(), L"ab");
  s.assign(L'\0');
  EXPECT_STREQ(s.text(), L"");
  EXPECT_EQ(s.length(), 0);
}

TEST(xml_string, own_text_as_source) {
  KVXML_string s(L"abcdef");
  s.append(s);
  EXPECT_STREQ(s.text(), L"abcdefabcdef");
  for (int i = 0; i < 6; ++i) s.append(s.text(), static_cast<std::size_t>(s.length()));  // grows each time
  EXPECT_EQ(s.length(), 12 * 64);
  EXPECT_EQ(std::wstring(s.text()).substr(12 * 63), L"abcdefabcdef");
  s.assign(s.text() + 3);
  EXPECT_EQ(std::wstring(s.text()).substr(0, 9), L"defabcdef");
}

struct substring_row {
  std::int32_t start;
  std::int32_t count;
  const wchar_t* result;
};

const substring_row substring_rows[] = {
    {0, 3, L"abc"}, {2, 2, L"cd"}, {-2, 2, L"ab"}, {4, -1, L""}, {4, 10, L"ef"}, {6, 1, L""}, {10, 1, L""}, {0, 6, L"abcdef"},
};

TEST(xml_string, substring_table) {
  KVXML_string s(L"abcdef");
  for (const substring_row& row : substring_rows) {
    SCOPED_TRACE(std::to_string(row.start) + "," + std::to_string(row.count));
    EXPECT_STREQ(s.substring(row.start, row.count).text(), row.result);
  }
}

TEST(xml_string, trim_trailing_space_uses_unicode_blanks) {
  KVXML_string s(L" a b \t\r\n\x3000\x00A0");
  s.trim_trailing_space();
  EXPECT_STREQ(s.text(), L" a b");
  KVXML_string blank(L" \t ");
  blank.trim_trailing_space();
  EXPECT_STREQ(blank.text(), L"");
  KVXML_string kept(L"a\x200B");  // zero width space is not white space
  kept.trim_trailing_space();
  EXPECT_STREQ(kept.text(), L"a\x200B");
}

// Room lent by a node or attribute block: used while the text fits, left behind (not freed) when
// it grows, copied when the string is moved or detached.
TEST(xml_string, lent_storage_is_used_then_left) {
  wchar_t room[9];
  kv::alloc_probe::reset_count();
  {
    KVXML_string s;
    s.use_storage(room, 8);
    s.assign(L"12345678");
    EXPECT_EQ(s.text(), room);
    EXPECT_EQ(kv::alloc_probe::count(), 0u);
    KVXML_string moved(std::move(s));
    EXPECT_STREQ(moved.text(), L"12345678");
    EXPECT_NE(moved.text(), room);
    EXPECT_EQ(s.text(), room);
    EXPECT_STREQ(s.text(), L"");
    s.assign(L"123456789");
    EXPECT_NE(s.text(), room);
    EXPECT_STREQ(s.text(), L"123456789");
    KVXML_string other;
    other.use_storage(room, 8);
    other.assign(L"abc");
    wchar_t* taken = other.detach();
    EXPECT_NE(taken, room);
    EXPECT_STREQ(taken, L"abc");
    std::free(taken);
  }
}

TEST(xml_string, detach_hands_over_text_and_empties) {
  KVXML_string s(L"text");
  wchar_t* taken = s.detach();
  EXPECT_STREQ(taken, L"text");
  EXPECT_STREQ(s.text(), L"");
  EXPECT_EQ(s.capacity(), 0);
  std::free(taken);
  wchar_t* empty = s.detach();
  EXPECT_STREQ(empty, L"");
  std::free(empty);
}

}  // namespace
