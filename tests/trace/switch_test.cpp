#include "tests/trace/trace_fixture.h"

namespace kv::test {
namespace {

using trace_switch = trace_log;

TEST_F(trace_switch, on_with_dword_1_in_the_current_user_hive) {
  set_switch_dword(1);
  trace_write(L"on\n");
  const std::vector<std::wstring> lines = lines_after_prefix(read_trace_text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"on\n");
}

TEST_F(trace_switch, off_unless_a_dword_equal_to_1) {
  struct row {
    const char* name;
    DWORD type;
    std::vector<unsigned char> data;
  };
  const row rows[] = {
      {"absent", REG_NONE, {}},
      {"dword_2", REG_DWORD, {2, 0, 0, 0}},
      {"dword_0", REG_DWORD, {0, 0, 0, 0}},
      {"text_1", REG_SZ, {'1', 0, 0, 0}},
      {"binary_1", REG_BINARY, {1, 0, 0, 0}},
      {"qword_1", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    remove_switches();
    trace_seam::reset_cache();
    if (r.type != REG_NONE)
      set_switch(HKEY_CURRENT_USER, L"", r.type, r.data.data(), static_cast<DWORD>(r.data.size()));
    trace_write(L"off\n");
    EXPECT_FALSE(file_exists(trace_file_path()));
    EXPECT_EQ(trace_seam::registry_scans(), 1u);
  }
}

TEST_F(trace_switch, falls_back_to_the_same_path_under_the_local_machine) {
  const std::vector<std::wstring> hives = user_hives();
  ASSERT_FALSE(hives.empty());
  const DWORD on = 1;
  set_switch(HKEY_LOCAL_MACHINE, hives.back() + L"\\", REG_DWORD, &on, sizeof on);
  trace_write(L"fallback\n");
  const std::vector<std::wstring> lines = lines_after_prefix(read_trace_text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"fallback\n");
}

TEST_F(trace_switch, user_hive_key_hides_the_local_machine_fallback) {
  // The fallback is read only where the user hive lacks the key: a key that says off wins.
  set_switch_dword(2);
  const DWORD on = 1;
  bool found = false;
  for (const std::wstring& hive : user_hives()) {
    unique_hkey key;
    if (RegOpenKeyExW(HKEY_USERS, (hive + L"\\" + switch_key).c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
      continue;
    key.reset();
    set_switch(HKEY_LOCAL_MACHINE, hive + L"\\", REG_DWORD, &on, sizeof on);
    found = true;
  }
  ASSERT_TRUE(found) << "the current user's hive does not show under HKEY_USERS";
  trace_write(L"hidden\n");
  EXPECT_FALSE(file_exists(trace_file_path()));
}

TEST_F(trace_switch, machine_key_switches_on_when_no_user_hive_does) {
  const DWORD on = 1;
  set_switch(HKEY_LOCAL_MACHINE, L"", REG_DWORD, &on, sizeof on);
  trace_write(L"machine\n");
  const std::vector<std::wstring> lines = lines_after_prefix(read_trace_text());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"machine\n");
}

TEST_F(trace_switch, machine_key_with_2_leaves_tracing_off) {
  const DWORD two = 2;
  set_switch(HKEY_LOCAL_MACHINE, L"", REG_DWORD, &two, sizeof two);
  trace_write(L"off\n");
  EXPECT_FALSE(file_exists(trace_file_path()));
}

TEST_F(trace_switch, cached_off_reads_the_registry_once_within_3_seconds) {
  trace_write(L"first\n");
  fake_now += 1000;
  trace_write(L"second\n");
  fake_now += 1999;
  trace_write(L"third\n");
  EXPECT_EQ(trace_seam::registry_scans(), 1u);
  fake_now += 1;
  trace_write(L"fourth\n");
  EXPECT_EQ(trace_seam::registry_scans(), 2u);
  EXPECT_FALSE(file_exists(trace_file_path()));
}

TEST_F(trace_switch, change_takes_effect_only_after_3_seconds) {
  set_switch_dword(1);
  trace_write(L"one\n");
  set_switch_dword(2);
  fake_now += 2999;
  trace_write(L"two\n");
  fake_now += 1;
  trace_write(L"three\n");
  set_switch_dword(1);
  fake_now += 2999;
  trace_write(L"four\n");
  fake_now += 1;
  trace_write(L"five\n");
  const std::vector<std::wstring> lines = lines_after_prefix(read_trace_text());
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"one\n", L"two\n", L"five\n"}));
  EXPECT_EQ(trace_seam::registry_scans(), 3u);
}

TEST_F(trace_switch, cache_age_survives_the_tick_count_wrap) {
  struct row {
    const char* name;
    std::uint32_t checked_at;
    std::uint32_t now;
    std::uint32_t scans;
  };
  const row rows[] = {
      {"young_before_the_wrap", 0xFFFFF800u, 0xFFFFFC00u, 1},
      {"young_across_the_wrap", 0xFFFFF830u, 0x00000200u, 1},
      {"old_across_the_wrap", 0xFFFFFF00u, 0x00000C00u, 2},
      {"checked_at_zero", 0x00000000u, 0x00000BB7u, 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    trace_seam::reset_cache();
    fake_now = r.checked_at;
    trace_write(L"x\n");
    fake_now = r.now;
    trace_write(L"x\n");
    EXPECT_EQ(trace_seam::registry_scans(), r.scans);
  }
}

}  // namespace
}  // namespace kv::test
