#include <cstdio>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "tests/support/self_process.h"
#include "tests/trace/trace_fixture.h"
#include "win/owners.h"

namespace kv::test {
namespace {

constexpr DWORD child_patience_ms = 60000;
constexpr int writer_threads = 3;
constexpr int lines_per_thread = 1000;

// Owns the trace mutex, signals args[0], then either exits still owning it (args[1] ==
// "abandon") or waits for args[2] and releases it.
const child_role hold_trace_lock(L"hold_trace_lock", [](const child_args& args) -> int {
  const kv::unique_handle lock(CreateMutexW(nullptr, FALSE, trace_lock_name));
  if (!lock || WaitForSingleObject(lock.get(), 0) != WAIT_OBJECT_0) return 2;
  named_event(args[0]).set();
  // Closing the handle does not release the mutex: it is abandoned when this thread ends.
  if (args[1] == L"abandon") return 0;
  const kv::unique_mutex_ownership owned(lock.get());
  named_event(args[2]).wait(child_patience_ms);
  return 0;
});

void write_lines(const std::wstring& writer) {
  std::vector<std::thread> threads;
  for (int t = 0; t < writer_threads; ++t)
    threads.emplace_back([&writer, t] {
      for (int i = 0; i < lines_per_thread; ++i)
        trace_line(L"concurrency::writer", 0, L"%ls t%d i%d", writer.c_str(), t, i);
    });
  for (std::thread& thread : threads) thread.join();
}

// Waits for args[1], then writes lines tagged args[0] from several threads.
const child_role write_trace_lines(L"write_trace_lines", [](const child_args& args) -> int {
  if (!named_event(args[1]).wait(child_patience_ms)) return 2;
  write_lines(args[0]);
  return 0;
});

using trace_lock = trace_log;

TEST_F(trace_lock, a_holder_that_never_lets_go_delays_a_write_by_5_seconds) {
  set_switch_dword(1);
  const std::wstring ready = L"Local\\" + unique_name(L"ready");
  const std::wstring quit = L"Local\\" + unique_name(L"quit");
  named_event ready_event(ready);
  named_event quit_event(quit);
  child_process holder(L"hold_trace_lock", {ready, L"hold", quit});
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(ready_event.wait(child_patience_ms));

  const DWORD start = GetTickCount();
  trace_write(L"late\n");
  const DWORD elapsed = GetTickCount() - start;
  quit_event.set();
  EXPECT_TRUE(holder.wait(child_patience_ms));
  std::printf("held lock: the write waited %lu ms\n", static_cast<unsigned long>(elapsed));
  EXPECT_GE(elapsed, 4900u);
  EXPECT_LT(elapsed, 7000u);
  EXPECT_EQ(lines_after_prefix(read_trace_text()), (std::vector<std::wstring>{L"late\n"}));
}

TEST_F(trace_lock, an_abandoned_lock_counts_as_owned) {
  set_switch_dword(1);
  const std::wstring ready = L"Local\\" + unique_name(L"ready");
  named_event ready_event(ready);
  // Kept open here so that the mutex outlives its holder and is handed over abandoned.
  const kv::unique_handle lock(CreateMutexW(nullptr, FALSE, trace_lock_name));
  ASSERT_NE(lock.get(), nullptr);
  {
    child_process holder(L"hold_trace_lock", {ready, L"abandon"});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(holder.wait(child_patience_ms));
    EXPECT_EQ(holder.exit_code(), 0u) << "the holder found the trace mutex taken";
  }
  const DWORD start = GetTickCount();
  trace_write(L"taken over\n");
  EXPECT_LT(GetTickCount() - start, 2000u);
  // The writer released it again: free for anyone.
  EXPECT_EQ(WaitForSingleObject(lock.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  ReleaseMutex(lock.get());
  EXPECT_EQ(lines_after_prefix(read_trace_text()), (std::vector<std::wstring>{L"taken over\n"}));
}

TEST_F(trace_lock, writers_in_two_processes_lose_and_mix_no_line) {
  set_switch_dword(1);
  const std::wstring go = L"Local\\" + unique_name(L"go");
  named_event go_event(go);
  child_process other(L"write_trace_lines", {L"child", go});
  ASSERT_TRUE(other.started());
  Sleep(500);  // let the child reach its start line

  const DWORD start = GetTickCount();
  go_event.set();
  write_lines(L"parent");
  ASSERT_TRUE(other.wait(child_patience_ms));
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_EQ(other.exit_code(), 0u);

  // Every line: "hh:mm:ss [pid] P:pid,T:tid concurrency::writer[0](writer tT iI)\n".
  const std::wstring text = read_trace_text();
  std::map<std::wstring, DWORD> pid_of = {{L"parent", GetCurrentProcessId()}, {L"child", other.id()}};
  std::set<std::tuple<std::wstring, int, int>> seen;
  std::size_t lines = 0;
  std::size_t bad = 0;
  for (std::size_t begin = 0; begin < text.size(); ++lines) {
    std::size_t end = text.find(L'\n', begin);
    ASSERT_NE(end, std::wstring::npos) << "the file ends inside a line";
    const std::wstring line = text.substr(begin, end - begin);
    begin = end + 1;
    unsigned hour, minute, second, pid, head_pid, tid;
    int t, i;
    wchar_t writer[16];
    wchar_t tail[2];
    const int fields = swscanf(line.c_str(), L"%2u:%2u:%2u [%u] P:%u,T:%u concurrency::writer[0](%15ls t%d i%d%1ls",
                               &hour, &minute, &second, &pid, &head_pid, &tid, writer, &t, &i, tail);
    if (fields != 10 || std::wstring(tail) != L")" || pid != head_pid || pid_of[writer] != pid ||
        !seen.emplace(writer, t, i).second) {
      if (++bad <= 5) ADD_FAILURE() << "bad or repeated line: " << testing::PrintToString(line);
    }
  }
  const std::size_t expected = 2u * writer_threads * lines_per_thread;
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(seen.size(), expected);
  EXPECT_EQ(bad, 0u);
  std::printf("concurrency: %zu lines written by 2 processes x %d threads, %zu read back intact, %lu ms\n", expected,
              writer_threads, seen.size(), static_cast<unsigned long>(elapsed));
}

}  // namespace
}  // namespace kv::test
