#include "types/kv_path.h"
#include "types/kv_paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text);
  return text ? out : "(null)";
}

// An item-identifier list made by hand: two items of 5 and 3 bytes, then the terminator and
// some bytes past it that a copy must not take along.
std::vector<unsigned char> sample_item_ids() {
  return {5, 0, 'a', 'b', 'c', 3, 0, 'd', 0, 0, 0xEE, 0xEE};
}

const KV_item_id_list* as_item_ids(const std::vector<unsigned char>& bytes) {
  return reinterpret_cast<const KV_item_id_list*>(bytes.data());
}

void expect_same_items(const KV_item_id_list* copy) {
  ASSERT_NE(copy, nullptr);
  const unsigned char expected[] = {5, 0, 'a', 'b', 'c', 3, 0, 'd', 0, 0};
  EXPECT_EQ(kv::item_ids_size(copy), sizeof expected);
  EXPECT_EQ(std::memcmp(copy, expected, sizeof expected), 0);
}

TEST(path_join, follows_the_single_backslash_table) {
  struct row {
    const char* name;
    const wchar_t* path;
    const wchar_t* component;
    const wchar_t* expected;
  };
  const row rows[] = {
      {"slash_both_sides", L"C:\\", L"\\data", L"C:\\data"},
      {"slash_on_neither", L"C:\\data", L"file", L"C:\\data\\file"},
      {"drive_only", L"C:", L"x", L"C:\\x"},
      {"slash_in_component_only", L"C:\\data", L"\\file", L"C:\\data\\file"},
      {"slash_in_path_only", L"C:\\data\\", L"file", L"C:\\data\\file"},
      {"empty_path", L"", L"x", L"x"},
      {"null_path", nullptr, L"x", L"x"},
      {"null_component", L"C:\\data", nullptr, L"C:\\data"},
      {"empty_component", L"C:\\data", L"", L"C:\\data\\"},
      {"only_the_seam_slash_is_merged", L"a\\\\", L"\\\\b", L"a\\\\\\b"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    KV_path path(r.path);
    path.join(r.component);
    EXPECT_TRUE(path.equals(r.expected)) << narrow(path.text());
  }
}

TEST(path_join, joined_changes_the_path_and_returns_a_copy) {
  KV_path path(L"C:\\temp\\");
  KV_path result = path.joined(L"TraceFile.kv");
  EXPECT_TRUE(result.equals(L"C:\\temp\\TraceFile.kv"));
  EXPECT_TRUE(path.equals(L"C:\\temp\\TraceFile.kv"));
  EXPECT_NE(result.text(), path.text());
}

TEST(path_join, accepts_its_own_text_as_component) {
  KV_path path(L"ab");
  path.join(path.text());
  EXPECT_TRUE(path.equals(L"ab\\ab"));
}

TEST(path_order, follows_the_ordering_table) {
  struct row {
    const char* name;
    const wchar_t* first;
    const wchar_t* second;
  };
  // `first` precedes `second`, and not the other way round.
  const row rows[] = {
      {"key_file_before_its_folder", L"D:\\keys\\a.lukey", L"D:\\keys\\a\\b"},
      {"key_file_before_other_extension", L"D:\\keys\\a.lukey", L"D:\\keys\\a.txt"},
      {"key_extension_in_any_case", L"D:\\keys\\a.LUKEY", L"D:\\keys\\a\\b"},
      {"key_file_before_a_lower_character", L"D:\\keys\\a.lukey", L"D:\\keys\\a!"},
      {"key_file_before_a_longer_key_name", L"a.lukey", L"a.lukeyz"},
      {"backslash_first", L"D:\\a\\x", L"D:\\a-x"},
      {"backslash_before_a_lower_character", L"D:\\a\\x", L"D:\\a x"},
      {"prefix_first", L"D:\\a", L"D:\\ab"},
      {"stem_before_its_key_file", L"D:\\a", L"D:\\a.lukey"},
      {"case_sensitive", L"D:\\B", L"D:\\a"},
      {"unsigned_code_units", L"z", L"\uff21"},
      {"null_before_text", nullptr, L"a"},
      {"upper_case_key_before_lower_case_key", L"x.LUKEY", L"x.lukey"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const KV_path first(r.first);
    const KV_path second(r.second);
    EXPECT_TRUE(first.precedes(second));
    EXPECT_FALSE(second.precedes(first));
  }
}

TEST(path_order, no_path_precedes_itself) {
  for (const wchar_t* text : {L"", L"D:\\a", L"a.lukey", L".lukey", L"D:\\keys\\A.LuKeY"}) {
    SCOPED_TRACE(narrow(text));
    const KV_path path(text);
    const KV_path same(text);
    EXPECT_FALSE(path.precedes(same));
  }
}

TEST(path_order, sorts_a_list_of_paths) {
  KV_paths paths(L"D:\\a-x\0D:\\a\\x\0D:\\a.lukey\0D:\\a\0\0");
  paths.sort([](const KV_path& a, const KV_path& b) { return a.precedes(b); });
  const wchar_t* expected[] = {L"D:\\a", L"D:\\a.lukey", L"D:\\a\\x", L"D:\\a-x"};
  ASSERT_EQ(paths.size(), 4u);
  std::size_t i = 0;
  for (const KV_path& path : paths) EXPECT_TRUE(path.equals(expected[i++])) << narrow(path.text());
}

TEST(path_item_ids, copy_takes_items_up_to_the_terminator) {
  const auto items = sample_item_ids();
  KV_path path(L"C:\\x");
  path.set_item_ids(as_item_ids(items), 7);
  const KV_path copy(path);
  EXPECT_NE(copy.item_ids(), path.item_ids());
  expect_same_items(copy.item_ids());
  EXPECT_EQ(copy.item_flags(), 7);

  KV_path assigned(L"other");
  assigned = path;
  expect_same_items(assigned.item_ids());
  EXPECT_EQ(assigned.item_flags(), 7);
  EXPECT_TRUE(assigned.equals(L"C:\\x"));

  EXPECT_EQ(kv::copy_item_ids(nullptr), nullptr);
  const KV_path without(L"C:\\y");
  EXPECT_EQ(KV_path(without).item_ids(), nullptr);
}

TEST(path_item_ids, dropped_whenever_the_text_changes) {
  const auto items = sample_item_ids();
  struct row {
    const char* name;
    void (*change)(KV_path&);
  };
  const row rows[] = {
      {"assign_text", [](KV_path& p) { p.assign(L"D:\\y"); }},
      {"assign_string", [](KV_path& p) { p.assign(KV_string(L"D:\\y")); }},
      {"assign_operator", [](KV_path& p) { p = L"D:\\y"; }},
      {"assign_null", [](KV_path& p) { p.assign(static_cast<const wchar_t*>(nullptr)); }},
      {"join", [](KV_path& p) { p.join(L"y"); }},
      {"joined", [](KV_path& p) { EXPECT_EQ(p.joined(L"y").item_ids(), nullptr); }},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    KV_path path(L"C:\\x");
    path.set_item_ids(as_item_ids(items), 3);
    r.change(path);
    EXPECT_EQ(path.item_ids(), nullptr);
    EXPECT_EQ(path.item_flags(), 0);
  }
}

TEST(path_item_ids, travel_with_list_entries) {
  const auto items = sample_item_ids();
  KV_path path(L"C:\\x");
  path.set_item_ids(as_item_ids(items), 9);
  KV_paths paths;
  paths.push_back(path);
  EXPECT_NE(paths.front().item_ids(), path.item_ids());
  expect_same_items(paths.front().item_ids());
  EXPECT_EQ(paths.front().item_flags(), 9);
}

TEST(paths_from_multi_string, keeps_every_text_before_the_empty_one) {
  struct row {
    const char* name;
    const wchar_t* multi_string;
    std::vector<const wchar_t*> expected;
  };
  const row rows[] = {
      {"null", nullptr, {}},
      {"only_the_end_mark", L"\0", {}},
      {"one_entry", L"C:\\a\0", {L"C:\\a"}},
      {"three_entries_in_order", L"C:\\b\0C:\\a\0x\0", {L"C:\\b", L"C:\\a", L"x"}},
      {"stops_at_the_first_empty_text", L"a\0\0b\0", {L"a"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const KV_paths paths(r.multi_string);
    ASSERT_EQ(paths.size(), r.expected.size());
    std::size_t i = 0;
    for (const KV_path& path : paths) EXPECT_TRUE(path.equals(r.expected[i++])) << narrow(path.text());
  }
}

}  // namespace
