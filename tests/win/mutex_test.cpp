#include "win/kv_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/support/self_process.h"
#include "win/owners.h"

namespace {

using kv::test::child_args;
using kv::test::child_process;
using kv::test::named_event;

constexpr DWORD child_patience_ms = 30000;

// Takes the mutex args[0] ("Local\"), signals args[1], then either exits still owning it
// (args[2] == "abandon") or waits for args[3], releases and exits.
const kv::test::child_role hold_mutex(L"hold_mutex", [](const child_args& args) -> int {
  KV_mutex mutex(args[0].c_str(), 0, 1);
  if (!mutex.handle()) return 2;
  named_event(args[1]).set();
  if (args[2] == L"abandon") return 0;
  if (!named_event(args[3]).wait(child_patience_ms)) return 3;
  return mutex.release() ? 0 : 4;
});

// Keeps a mutex owned on a thread of this process until told to let go.
class holder_thread {
 public:
  explicit holder_thread(const std::wstring& name) : thread_([this, name] {
    const kv::unique_handle mutex(open_named_mutex(name.c_str(), 0, 1));
    const kv::unique_mutex_ownership owned(mutex.get());
    owned_.set();
    let_go_.wait(child_patience_ms);
  }) {
    owned_.wait(child_patience_ms);
  }
  ~holder_thread() {
    let_go_.set();
    thread_.join();
  }

 private:
  named_event owned_{kv::test::unique_name(L"owned")};
  named_event let_go_{kv::test::unique_name(L"let-go")};
  std::thread thread_;
};

std::string narrow(const wchar_t* text) {
  if (!text) return "(null)";
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

TEST(mutex_name, prefixes_the_namespace) {
  EXPECT_EQ(narrow(make_mutex_name(L"abc", 0).text()), "Local\\abc");
  EXPECT_EQ(narrow(make_mutex_name(L"abc", 1).text()), "Global\\abc");
  EXPECT_EQ(narrow(make_mutex_name(L"abc", 7).text()), "Global\\abc");
  EXPECT_TRUE(make_mutex_name(nullptr, 1).is_null());
}

TEST(mutex_security, grants_everyone_with_a_null_dacl_and_inheritable_handles) {
  const kv::unique_security_attributes owner(make_open_security_attributes());
  const SECURITY_ATTRIBUTES* attributes = owner.get();
  ASSERT_NE(attributes, nullptr);
  EXPECT_EQ(attributes->nLength, 24u);
  EXPECT_TRUE(attributes->bInheritHandle);
  PSECURITY_DESCRIPTOR descriptor = attributes->lpSecurityDescriptor;
  ASSERT_NE(descriptor, nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(descriptor));
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_EQ(dacl, nullptr);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_EQ(revision, 1u);
  free_security_attributes(nullptr);  // ignored
}

TEST(mutex_wait, times_out_while_another_process_holds_it_and_succeeds_after_release) {
  const std::wstring name = kv::test::unique_name(L"mutex");
  named_event ready(L"Local\\" + name + L"-ready");
  named_event go(L"Local\\" + name + L"-go");
  KV_mutex mutex(name.c_str(), 0, 0);
  ASSERT_NE(mutex.handle(), nullptr);
  EXPECT_EQ(narrow(mutex.name()), "Local\\" + narrow(name.c_str()));

  child_process holder(L"hold_mutex", {L"Local\\" + name, L"Local\\" + name + L"-ready", L"release",
                                       L"Local\\" + name + L"-go"});
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(ready.wait(child_patience_ms));
  bool timed_out = false;
  EXPECT_FALSE(mutex.wait(0, &timed_out));
  EXPECT_TRUE(timed_out);

  go.set();
  ASSERT_TRUE(holder.wait(child_patience_ms));
  EXPECT_EQ(holder.exit_code(), 0u);
  EXPECT_TRUE(mutex.wait(0, &timed_out));
  EXPECT_FALSE(timed_out);
  EXPECT_TRUE(mutex.release());
}

TEST(mutex_wait, abandoned_by_a_process_reports_false_but_is_owned) {
  const std::wstring name = kv::test::unique_name(L"mutex");
  named_event ready(L"Local\\" + name + L"-ready");
  KV_mutex mutex(name.c_str(), 0, 0);
  {
    child_process holder(L"hold_mutex", {L"Local\\" + name, L"Local\\" + name + L"-ready", L"abandon"});
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(ready.wait(child_patience_ms));
    ASSERT_TRUE(holder.wait(child_patience_ms));
  }
  bool timed_out = true;
  EXPECT_FALSE(mutex.wait(1000, &timed_out));
  EXPECT_FALSE(timed_out);
  // The abandoned wait handed ownership over: it can be released, and is free again afterwards.
  EXPECT_TRUE(mutex.release());
  EXPECT_FALSE(mutex.release());
  EXPECT_TRUE(mutex.wait(0, nullptr));
  EXPECT_TRUE(mutex.release());
}

TEST(mutex_wait, second_handle_signalled_first_reports_false_without_timeout) {
  const std::wstring name = kv::test::unique_name(L"mutex");
  holder_thread holder(name);
  KV_mutex mutex(name.c_str(), 0, 0);
  named_event other(kv::test::unique_name(L"other"));
  bool timed_out = true;
  EXPECT_FALSE(mutex.wait_with(other.handle(), 0, &timed_out));
  EXPECT_TRUE(timed_out);
  other.set();
  EXPECT_FALSE(mutex.wait_with(other.handle(), 5000, &timed_out));
  EXPECT_FALSE(timed_out);
}

TEST(mutex_wait, failed_creation_answers_false_without_timeout) {
  // A name already taken by another kind of object cannot become a mutex.
  const std::wstring name = kv::test::unique_name(L"taken");
  named_event squatter(L"Local\\" + name);
  KV_mutex mutex(name.c_str(), 0, 1);
  EXPECT_EQ(mutex.handle(), nullptr);
  bool timed_out = true;
  EXPECT_FALSE(mutex.wait(0, &timed_out));
  EXPECT_FALSE(timed_out);
  EXPECT_EQ(open_named_mutex(name.c_str(), 0, 1), nullptr);
}

TEST(mutex_open, with_ownership_waits_for_another_threads_release) {
  const std::wstring name = kv::test::unique_name(L"mutex");
  const kv::unique_handle first(open_named_mutex(name.c_str(), 0, 1));
  ASSERT_TRUE(first);
  std::atomic<bool> returned{false};
  std::atomic<bool> released_by_second{false};
  std::thread second([&] {
    const kv::unique_handle mine(open_named_mutex(name.c_str(), 0, 1));
    returned = true;
    released_by_second = mine && ReleaseMutex(mine.get());
  });
  Sleep(300);
  EXPECT_FALSE(returned);
  EXPECT_TRUE(ReleaseMutex(first.get()));
  second.join();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(released_by_second);
}

TEST(mutex_open, handles_are_inheritable) {
  const kv::unique_handle mutex(open_named_mutex(kv::test::unique_name(L"mutex").c_str(), 0, 0));
  ASSERT_TRUE(mutex);
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(mutex.get(), &flags));
  EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
}

TEST(mutex_unnamed, null_name_gives_an_unnamed_owned_mutex) {
  KV_mutex mutex(nullptr, 0, 1);
  ASSERT_NE(mutex.handle(), nullptr);
  EXPECT_EQ(mutex.name(), nullptr);
  // Owned once by creation and once by the wait: two releases succeed, a third does not.
  EXPECT_TRUE(mutex.wait(0, nullptr));
  EXPECT_TRUE(mutex.release());
  EXPECT_TRUE(mutex.release());
  EXPECT_FALSE(mutex.release());
}

class counted_association : public KV_interface_association {
 public:
  explicit counted_association(int* destroyed) : destroyed_(destroyed) {}
  ~counted_association() override { ++*destroyed_; }

 private:
  int* destroyed_;
};

TEST(interface_association_list, deletes_every_node_through_its_destructor) {
  int destroyed = 0;
  {
    KV_interface_association_list list;
    for (int i = 0; i < 3; ++i) {
      auto* node = new counted_association(&destroyed);
      node->next = list.first;
      list.first = node;
    }
  }
  EXPECT_EQ(destroyed, 3);
  EXPECT_EQ(kv::interface_associations.first, nullptr);
}

}  // namespace
