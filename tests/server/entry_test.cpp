// The process entry run inside the test program: fail-safe boot, the single-instance mutex, the
// message loop and the exit codes. A thread of this program stands in for another instance; a
// pre-posted WM_QUIT or a timer ends the loop.
#include <gtest/gtest.h>
#include <objbase.h>

#include <optional>
#include <string>
#include <thread>

#include "proxy/dodadev_h.h"
#include "proxy/server_link.h"
#include "server/dodadev_module.h"
#include "server/server_entry.h"
#include "tests/support/hresult_assert.h"
#include "tests/trace/trace_fixture.h"
#include "win/owners.h"

namespace {

// {5E1A4B0C-7D2F-4E83-9C61-2B8F0A7D3E16}: a class that only these tests register.
constexpr CLSID test_clsid = {0x5E1A4B0C, 0x7D2F, 0x4E83, {0x9C, 0x61, 0x2B, 0x8F, 0x0A, 0x7D, 0x3E, 0x16}};

int probe_calls = 0;
int fail_safe_boot() {
  ++probe_calls;
  return 1;
}
int fail_safe_boot_with_network() {
  ++probe_calls;
  return 2;
}

// Holds the named mutex from another thread, as a running server would.
class mutex_holder {
 public:
  enum class how { hold, abandon };
  mutex_holder(const std::wstring& name, how mode) {
    const kv::unique_handle ready(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    release_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_ = std::thread([this, name, mode, ready = ready.get()] {
      mutex_.reset(CreateMutexW(nullptr, TRUE, (L"Local\\" + name).c_str()));
      SetEvent(ready);
      if (mode == how::abandon) return;  // ends owning it: the mutex is abandoned
      const kv::unique_mutex_ownership owned(mutex_.get());
      WaitForSingleObject(release_.get(), INFINITE);
    });
    WaitForSingleObject(ready.get(), 10000);
    if (mode == how::abandon) thread_.join();
  }
  ~mutex_holder() {
    SetEvent(release_.get());
    if (thread_.joinable()) thread_.join();
  }

 private:
  kv::unique_handle mutex_;
  kv::unique_handle release_;
  std::thread thread_;
};

// What the timer saw while the loop was serving.
struct serving_view {
  CDoDadevModule* module = nullptr;
  bool ran = false;
  DWORD main_thread = 0;
  HRESULT created = E_FAIL;
  LONG lock_before = 0;
  LONG lock_with_object = 0;
  LONG lock_after = 0;
};
serving_view* view = nullptr;

void CALLBACK while_serving(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  view->ran = true;
  view->main_thread = kv::main_thread_id();
  view->lock_before = view->module->lock_count();
  kv::com_ptr<IUnknown> object;
  view->created = CoCreateInstance(test_clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, object.put_void());
  view->lock_with_object = view->module->lock_count();
  object.reset();
  view->lock_after = view->module->lock_count();
  PostQuitMessage(0);
}

// COM's own calls behind a failure of our choosing; the real revoke always runs, so that nothing
// stays registered after the test.
constexpr HRESULT resume_failure = CO_E_WRONG_SERVER_IDENTITY;
constexpr HRESULT revoke_failure = RPC_E_DISCONNECTED;
int revokes = 0;
HRESULT STDAPICALLTYPE failing_resume() { return resume_failure; }
HRESULT STDAPICALLTYPE counted_revoke(DWORD cookie) {
  ++revokes;
  return CoRevokeClassObject(cookie);
}
HRESULT STDAPICALLTYPE failing_revoke(DWORD cookie) {
  counted_revoke(cookie);
  return revoke_failure;
}

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

class server_entry : public ::testing::Test {
 protected:
  void SetUp() override {
    kv::test::remove_switches();
    DeleteFileW(kv::test::trace_file_path().c_str());
    kv::test::set_switch_dword(1);
    kv::trace_seam::reset_cache();
    probe_calls = 0;
    environment_.instance_mutex = mutex_name_.c_str();
    // Drop whatever an earlier test left in this thread's queue.
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  void TearDown() override {
    kv::test::remove_switches();
    DeleteFileW(kv::test::trace_file_path().c_str());
    kv::trace_seam::reset_cache();
  }

  int run(const wchar_t* command_line = L"\"C:\\srv\\DoDadev.exe\" -Embedding") {
    return kv::server_entry(module_, command_line, L"C:\\srv\\DoDadev.exe", SW_SHOWNORMAL, environment_);
  }
  static std::wstring trace() {
    return kv::test::file_exists(kv::test::trace_file_path()) ? kv::test::read_trace_text() : std::wstring();
  }

  const std::wstring mutex_name_ = L"kv-server-test-instance-" + std::to_wstring(GetCurrentProcessId());
  kv::server_environment environment_;
  kv::class_object_entry table_[1] = {{&test_clsid, kv::class_script, kv::create_lu_proxy_disp, nullptr, 0}};
  CDoDadevModule module_{table_, 1};
};

TEST_F(server_entry, entry_fail_safe_boot_exits_with_0_before_the_instance_mutex) {
  environment_.clean_boot_probe = fail_safe_boot;
  mutex_holder other(mutex_name_, mutex_holder::how::hold);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(probe_calls, 1);
  const std::wstring text = trace();
  EXPECT_TRUE(contains(text, L"wWinMain[0](Exiting because of SafeMode!)\n")) << testing::PrintToString(text);
  EXPECT_FALSE(contains(text, L"other instance"));
  EXPECT_FALSE(contains(text, L"Starting"));
}

TEST_F(server_entry, entry_second_instance_exits_with_0_after_fail_safe_boot_with_network) {
  environment_.clean_boot_probe = fail_safe_boot_with_network;
  mutex_holder other(mutex_name_, mutex_holder::how::hold);
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(probe_calls, 1);
  const std::wstring text = trace();
  EXPECT_TRUE(contains(text, L"wWinMain[0](Exiting because of other instance!)\n")) << testing::PrintToString(text);
  EXPECT_FALSE(contains(text, L"Starting"));
  EXPECT_EQ(table_[0].factory, nullptr);
}

TEST_F(server_entry, entry_serves_until_wm_quit_then_revokes_and_exits_with_0) {
  serving_view seen;
  seen.module = &module_;
  view = &seen;
  ASSERT_NE(SetTimer(nullptr, 0, 10, while_serving), 0u);
  EXPECT_EQ(run(), 0);
  view = nullptr;

  ASSERT_TRUE(seen.ran);
  EXPECT_EQ(seen.main_thread, GetCurrentThreadId());
  EXPECT_HR(S_OK, seen.created);
  EXPECT_EQ(seen.lock_with_object, seen.lock_before + 1);
  EXPECT_EQ(seen.lock_after, seen.lock_before);
  EXPECT_EQ(table_[0].cookie, 0u);
  EXPECT_FALSE(module_.com_initialized);

  const std::wstring text = trace();
  const std::size_t starting = text.find(L"wWinMain[0](Starting)\n");
  const std::size_t thread =
      text.find(L"CDoDadevModule::PreMessageLoop[0](thread = " + std::to_wstring(GetCurrentThreadId()) + L")\n");
  const std::size_t post = text.find(L"CDoDadevModule::PostMessageLoop[0]\n");
  EXPECT_NE(starting, std::wstring::npos) << testing::PrintToString(text);
  EXPECT_NE(thread, std::wstring::npos);
  EXPECT_NE(post, std::wstring::npos);
  EXPECT_LT(starting, thread);
  EXPECT_LT(thread, post);
}

TEST_F(server_entry, entry_takes_over_an_abandoned_instance_mutex) {
  mutex_holder dead(mutex_name_, mutex_holder::how::abandon);
  PostQuitMessage(0);
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(contains(trace(), L"wWinMain[0](Starting)\n"));
}

TEST_F(server_entry, entry_registration_switch_ends_the_run_with_its_result) {
  // The test program has no REGISTRY resources, so registration fails at its first step.
  const HRESULT missing = FindResourceW(nullptr, MAKEINTRESOURCEW(kv::app_id_script), L"REGISTRY")
                              ? S_OK
                              : HRESULT_FROM_WIN32(GetLastError());
  ASSERT_TRUE(FAILED(missing));
  // Another instance serving in the session does not stop a registration.
  for (const bool other_instance : {false, true}) {
    SCOPED_TRACE(other_instance ? "another instance holds the mutex" : "alone");
    DeleteFileW(kv::test::trace_file_path().c_str());
    std::optional<mutex_holder> other;
    if (other_instance) other.emplace(mutex_name_, mutex_holder::how::hold);
    EXPECT_EQ(run(L"\"C:\\srv\\DoDadev.exe\" /RegServer"), missing);
    const std::wstring text = trace();
    EXPECT_TRUE(contains(text, L"Starting"));
    EXPECT_FALSE(contains(text, L"other instance"));
    EXPECT_FALSE(contains(text, L"PreMessageLoop"));
    EXPECT_FALSE(module_.com_initialized);
  }
}

TEST_F(server_entry, entry_failed_class_registration_is_the_exit_code_and_skips_the_loop) {
  // A class without a creator: its factory cannot be made.
  kv::class_object_entry broken[1] = {{&test_clsid, kv::class_script, nullptr, nullptr, 0}};
  CDoDadevModule failing(broken, 1);
  PostQuitMessage(0);
  EXPECT_HR(E_INVALIDARG, kv::server_entry(failing, L"x.exe", nullptr, SW_SHOWNORMAL, environment_));
  EXPECT_FALSE(contains(trace(), L"PostMessageLoop"));
  MSG message;
  // The loop never ran, so the quit message is still waiting.
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(server_entry, entry_failed_resume_or_revoke_is_the_exit_code) {
  struct row {
    const char* name;
    HRESULT(STDAPICALLTYPE* resume)();
    HRESULT(STDAPICALLTYPE* revoke)(DWORD);
    HRESULT exit_code;
    bool loop_ran;
  };
  const row rows[] = {
      {"resume fails: the class object is revoked and no loop runs", failing_resume, counted_revoke, resume_failure,
       false},
      {"revoke after the loop fails", CoResumeClassObjects, failing_revoke, revoke_failure, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    DeleteFileW(kv::test::trace_file_path().c_str());
    module_.class_calls = {r.resume, r.revoke};
    revokes = 0;
    PostQuitMessage(0);
    EXPECT_EQ(run(), r.exit_code);
    EXPECT_EQ(revokes, 1);
    EXPECT_EQ(table_[0].cookie, 0u);
    EXPECT_EQ(contains(trace(), L"PostMessageLoop"), r.loop_ran);
    MSG message;
    EXPECT_EQ(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE, !r.loop_ran);
  }
}

}  // namespace
