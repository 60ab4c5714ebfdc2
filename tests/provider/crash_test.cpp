// Crash consistency: every writing operation runs in a child process that ends itself
// (TerminateProcess) just before its n-th change to the keystore's files, for n = 1, 2, ... until
// the operation finishes first, on a keystore of this build and on one that an earlier build
// wrote (a version 2 index, keys at the top level). After each death a fresh service must open
// the keystore with its credential, find every key that existed before, see the interrupted
// operation whole or absent, and let the next writer work.
#include <cstdio>
#include <cstring>
#include <string>

#include "provider_test_support.h"
#include "tests/support/hresult_assert.h"
#include "tests/support/self_process.h"
#include "types/kv_guid.h"

namespace provider_test {
namespace {

using kv::provider::credential;
using kv::provider::keystore_service;
using kv::provider::protection_kind;

constexpr DWORD killed_code = 0xDEAD;
const wchar_t old_password[] = L"old password";
const wchar_t new_password[] = L"new password";

enum class start { nothing, password, certificate };

struct operation {
  const wchar_t* name;
  start from;
  HRESULT (*run)(keystore_service& service, const std::wstring& drive, const GUID& a);
};

std::wstring export_file(const std::wstring& drive) { return drive + L"\\a.luexp"; }

HRESULT reprotect(keystore_service& service, const std::wstring& drive, bool by_password, bool enforce_history) {
  if (by_password) return service.replace_protection(drive.c_str(), credential::of_password(new_password), enforce_history);
  const kv::unique_cert_context certificate = second_certificate();
  return service.replace_protection(drive.c_str(), credential::of_certificate(certificate.get()), enforce_history);
}

const operation operations[] = {
    {L"create keystore", start::nothing,
     [](keystore_service& s, const std::wstring& d, const GUID&) {
       return s.create_keystore(d.c_str(), credential::of_password(old_password));
     }},
    {L"create key", start::password,
     [](keystore_service& s, const std::wstring& d, const GUID&) {
       return s.create_key(d.c_str(), protection_kind::password, old_password, L"c", 0, false);
     }},
    {L"rename key", start::password,
     [](keystore_service& s, const std::wstring& d, const GUID& a) { return s.rename_key(d.c_str(), a, L"renamed"); }},
    {L"delete key", start::password,
     [](keystore_service& s, const std::wstring& d, const GUID& a) { return s.delete_key(d.c_str(), a); }},
    {L"export key", start::password,
     [](keystore_service& s, const std::wstring& d, const GUID& a) {
       return s.export_key(d.c_str(), a, export_file(d).c_str(), L"transfer");
     }},
    {L"import key", start::password,  // the setup exports "a" and deletes it
     [](keystore_service& s, const std::wstring& d, const GUID&) {
       return s.import_key(d.c_str(), export_file(d).c_str(), credential::of_password(L"transfer"));
     }},
    {L"change password", start::password,
     [](keystore_service& s, const std::wstring& d, const GUID&) { return reprotect(s, d, true, true); }},
    {L"recover password", start::password,
     [](keystore_service& s, const std::wstring& d, const GUID&) { return reprotect(s, d, true, false); }},
    {L"change certificate", start::certificate,
     [](keystore_service& s, const std::wstring& d, const GUID&) { return reprotect(s, d, false, true); }},
    {L"recover certificate", start::certificate,
     [](keystore_service& s, const std::wstring& d, const GUID&) { return reprotect(s, d, false, false); }},
};

int changes_left = 0;
void count_change() {
  if (--changes_left == 0) TerminateProcess(GetCurrentProcess(), killed_code);
}
HRESULT no_volume_roots(KV_paths&) { return S_OK; }

// Child: operation, drive, settings key, id of key "a", the change to die before.
const kv::test::child_role run_and_die(L"run_and_die", [](const kv::test::child_args& args) {
  kv::provider::settings config;
  config.registry_key = args[2].c_str();
  config.volume_roots = no_volume_roots;
  keystore_service service(config);
  changes_left = std::stoi(args[4]);
  kv::provider::before_change = count_change;
  for (const operation& op : operations)
    if (args[0] == op.name) return SUCCEEDED(op.run(service, args[1], KV_guid(args[3].c_str()))) ? 0 : 1;
  return 2;
});

class crash_test : public keystore_test {
 protected:
  // Keys "a" and "b" under the starting protection; answers their ids.
  void prepare(const operation& op, const temp_folder& where, bool earlier_build, GUID& a, GUID& b) {
    a = b = GUID{};
    if (op.from == start::nothing) return;
    const kv::unique_cert_context certificate = first_certificate();
    const bool by_password = op.from == start::password;
    ASSERT_HR(S_OK, service.create_keystore(where.c_str(), by_password ? credential::of_password(old_password)
                                                                 : credential::of_certificate(certificate.get())));
    if (earlier_build) {
      kv::provider::key256 keystore_key;
      ASSERT_HR(S_OK, kv::provider::random_bytes(keystore_key.bytes, kv::provider::key_size));
      rewrite_index(where, [&](kv::provider::index_record& index) {
        index = hand_made_index(2, keystore_key, by_password ? old_password : nullptr, certificate.get());
      });
    }
    const protection_kind kind = by_password ? protection_kind::password : protection_kind::certificate;
    a = add_key(L"a", where, kind);
    b = add_key(L"b", where, kind);
    if (earlier_build) {
      move_to_flat_layout(where, a, L"a.lukey");
      move_to_flat_layout(where, b, L"b.lukey");
      // The protection is of version 2 still: the file becomes what that build wrote.
      rewrite_index(where, [](kv::provider::index_record& index) { index.version = 2; });
    }
    a_secret = read(a, where);
    b_secret = read(b, where);
    if (std::wstring(op.name) == L"import key") {
      ASSERT_HR(S_OK, service.export_key(where.c_str(), a, export_file(where.path()).c_str(), L"transfer"));
      ASSERT_HR(S_OK, service.delete_key(where.c_str(), a));
    }
  }

  bool same(const GUID& id, const temp_folder& where, const kv::provider::key_view& expected) {
    kv::provider::key_view key;
    return service.read_key(where.c_str(), id, key) == S_OK &&
           std::memcmp(key.secret.bytes, expected.secret.bytes, kv::provider::key_size) == 0;
  }

  void check(const operation& op, const temp_folder& where, const GUID& a, const GUID& b) {
    const std::wstring name = op.name;
    const wchar_t* d = where.c_str();
    if (op.from == start::nothing) {
      const HRESULT opened = service.verify_password(d, old_password);
      EXPECT_TRUE(opened == S_OK || opened == NTE_BAD_KEYSET) << opened;
      if (opened != S_OK) {
        EXPECT_HR(S_OK, service.create_keystore(d, credential::of_password(old_password)));
      }
      EXPECT_HR(S_OK, service.create_key(d, protection_kind::password, nullptr, L"next", 0, false));
      return;
    }
    const protection_kind kind = op.from == start::password ? protection_kind::password : protection_kind::certificate;
    if (op.from == start::password) {
      const bool old_works = service.verify_password(d, old_password) == S_OK;
      const bool new_works = service.verify_password(d, new_password) == S_OK;
      EXPECT_TRUE(old_works != new_works) << "old " << old_works << ", new " << new_works;
    }
    // Every key that was there is there with its secret; "a" may be gone or back as the
    // operation says, and is whole when there.
    EXPECT_TRUE(same(b, where, b_secret));
    kv::provider::key_view key;
    const HRESULT a_read = service.read_key(d, a, key);
    if (name == L"delete key" || name == L"import key") {
      EXPECT_TRUE(a_read == NTE_NOT_FOUND || same(a, where, a_secret)) << a_read;
    } else {
      EXPECT_TRUE(same(a, where, a_secret));
    }
    if (name == L"rename key") {
      ASSERT_HR(S_OK, a_read);
      const bool renamed = key.record.name.equals(L"renamed");
      EXPECT_TRUE(renamed || key.record.name.equals(L"a"));
      // The name the key does not hold is free: no orphan keeps it.
      EXPECT_HR(S_OK, service.create_key(d, kind, nullptr, renamed ? L"a" : L"renamed", 0, false));
      // Deleted, nothing of it comes back, not under its old name either.
      EXPECT_HR(S_OK, service.delete_key(d, a));
      EXPECT_HR(NTE_NOT_FOUND, service.read_key(d, a, key));
    }
    if (name == L"create key") {
      const std::size_t count = key_ids(where).size();
      const HRESULT again = service.create_key(d, kind, nullptr, L"c", 0, false);
      EXPECT_TRUE(again == S_OK || again == name_in_use) << again;
      EXPECT_EQ(key_ids(where).size(), again == S_OK ? count + 1 : count);
    }
    if (name == L"export key" && GetFileAttributesW(export_file(where.path()).c_str()) != INVALID_FILE_ATTRIBUTES) {
      EXPECT_EQ(service.import_key(d, export_file(where.path()).c_str(), credential::of_password(L"transfer")),
                already_exists);  // whole: it opens, and names the key that is there
    }
    EXPECT_HR(S_OK, service.create_key(d, kind, nullptr, L"next", 0, false));
  }

  kv::provider::key_view a_secret;
  kv::provider::key_view b_secret;
};

TEST_F(crash_test, every_write_step_of_every_writing_operation_survives_a_killed_process) {
  int crash_points[2] = {};
  for (const bool earlier_build : {false, true})
  for (const operation& op : operations) {
    if (earlier_build && op.from == start::nothing) continue;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << std::string(op.name, op.name + std::wcslen(op.name)) << ", killed before change "
                                      << n << (earlier_build ? ", keystore of an earlier build" : ""));
      temp_folder where;
      GUID a;
      GUID b;
      prepare(op, where, earlier_build, a, b);
      if (HasFatalFailure()) return;
      kv::test::child_process child(L"run_and_die", {op.name, where.path(), settings.config.registry_key,
                                                     KV_guid(a).text, std::to_wstring(n)});
      ASSERT_TRUE(child.wait(60000));
      const DWORD code = child.exit_code();
      ASSERT_TRUE(code == killed_code || code == 0) << code;
      check(op, where, a, b);
      if (HasFailure()) return;
      if (code == 0) break;
      ++crash_points[earlier_build];
    }
  }
  std::printf("crash points covered: %d on keystores of this build, %d on keystores of an earlier build\n",
              crash_points[0], crash_points[1]);
  RecordProperty("crash_points", crash_points[0]);
  RecordProperty("crash_points_earlier_build", crash_points[1]);
  EXPECT_GT(crash_points[0], 40);
  EXPECT_GT(crash_points[1], 40);
}

}  // namespace
}  // namespace provider_test
