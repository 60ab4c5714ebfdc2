// Passwords, certificates and replacing a keystore's protection, interrupted or not.
#include <algorithm>
#include <cstring>
#include <vector>

#include "provider_test_support.h"
#include "tests/support/hresult_assert.h"

namespace provider_test {
namespace {

using kv::provider::credential;
using kv::provider::protection_kind;

bool same_secret(const kv::provider::key_view& a, const kv::provider::key_view& b) {
  return std::memcmp(a.secret.bytes, b.secret.bytes, kv::provider::key_size) == 0;
}

TEST_F(keystore_test, verify_last_password_answers_whether_the_text_is_the_current_password) {
  ASSERT_HR(S_OK, create_password_keystore(L"current"));
  struct row {
    const char* name;
    const wchar_t* text;
    HRESULT expected;
  };
  const row rows[] = {
      {"the password", L"current", S_OK},
      {"another letter case", L"Current", invalid_password},
      {"a prefix", L"curren", invalid_password},
      {"empty", L"", invalid_password},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(service.verify_password(drive.c_str(), r.text), r.expected);
  }
  EXPECT_HR(E_INVALIDARG, service.verify_password(drive.c_str(), nullptr));
}

TEST_F(keystore_test, the_last_five_passwords_are_refused_and_the_sixth_is_accepted) {
  const wchar_t* passwords[] = {L"one", L"two", L"three", L"four", L"five", L"six"};
  ASSERT_HR(S_OK, create_password_keystore(passwords[0]));
  for (int i = 1; i < 6; ++i) ASSERT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_password(passwords[i]), true));
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_HR(i == 0 ? S_OK : password_in_history, service.verify_password_history(drive.c_str(), passwords[i]));
  }
  EXPECT_HR(S_OK, service.verify_password_history(drive.c_str(), L"seven"));
  // Changing enforces the history; recovering does not.
  EXPECT_EQ(service.replace_protection(drive.c_str(), credential::of_password(L"three"), true), password_in_history);
  EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"six"));
  EXPECT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_password(L"three"), false));
  EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"three"));
  // The index holds salted hashes only: no password text in any encoding.
  const std::vector<std::uint8_t> index = read_bytes(drive.keystore() + L"\\keystore.luidx");
  const wchar_t* needle = L"three";
  EXPECT_EQ(std::search(index.begin(), index.end(), reinterpret_cast<const std::uint8_t*>(needle),
                        reinterpret_cast<const std::uint8_t*>(needle + 5)),
            index.end());
}

TEST_F(keystore_test, a_history_altered_in_the_index_is_refused) {
  ASSERT_HR(S_OK, create_password_keystore(L"one"));
  ASSERT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_password(L"two"), true));
  struct row {
    const char* name;
    void (*change)(kv::provider::index_record&);
  };
  const row rows[] = {
      {"stripped", [](kv::provider::index_record& index) { index.history_count = 0; }},
      {"oldest entry dropped", [](kv::provider::index_record& index) { index.history_count = 1; }},
      {"entries swapped", [](kv::provider::index_record& index) { std::swap(index.history[0], index.history[1]); }},
  };
  const std::vector<std::uint8_t> whole = read_bytes(drive.keystore() + L"\\keystore.luidx");
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    rewrite_index(drive, r.change);
    EXPECT_HR(NTE_BAD_DATA, service.verify_password_history(drive.c_str(), L"one"));
    EXPECT_HR(NTE_BAD_DATA, service.replace_protection(drive.c_str(), credential::of_password(L"one"), true));
    EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"two"));  // the protection itself is whole
    write_bytes(drive.keystore() + L"\\keystore.luidx", whole);
  }
  EXPECT_EQ(service.verify_password_history(drive.c_str(), L"one"), password_in_history);
}

TEST_F(keystore_test, a_new_password_reprotects_every_key_and_keeps_the_secrets) {
  ASSERT_HR(S_OK, create_password_keystore(L"old"));
  const GUID a = add_key(L"a");
  const GUID b = add_key(L"b");
  const kv::provider::key_view a_before = read(a);
  const kv::provider::key_view b_before = read(b);

  ASSERT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_password(L"new"), true));
  EXPECT_TRUE(same_secret(read(a), a_before));
  EXPECT_TRUE(same_secret(read(b), b_before));
  EXPECT_NE(std::memcmp(read(a).record.protection_id, a_before.record.protection_id, kv::provider::id_size), 0);
  EXPECT_EQ(service.create_key(drive.c_str(), protection_kind::password, L"old", L"c", 0, false), invalid_password);
  EXPECT_HR(S_OK, service.create_key(drive.c_str(), protection_kind::password, L"new", L"c", 0, false));
  EXPECT_EQ(drive.files(), (std::vector<std::wstring>{L"a.lukey", L"b.lukey", L"c.lukey",
                                                                   L"keystore.lock", L"keystore.luidx"}));
}

TEST_F(keystore_test, a_certificate_keystore_takes_certificate_operations_only) {
  const kv::unique_cert_context certificate = first_certificate();
  ASSERT_HR(S_OK, service.create_keystore(drive.c_str(), credential::of_certificate(certificate.get())));
  const GUID id = add_key(L"bound", drive, protection_kind::certificate);
  EXPECT_HR(NTE_BAD_KEY_STATE, service.create_key(drive.c_str(), protection_kind::password, nullptr, L"x", 0, false));
  EXPECT_HR(NTE_BAD_KEY_STATE, service.verify_password(drive.c_str(), L"anything"));

  const kv::provider::key_view before = read(id);
  ASSERT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_password(L"now a password"), true));
  EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"now a password"));
  EXPECT_TRUE(same_secret(read(id), before));
  const kv::unique_cert_context other = second_certificate();
  ASSERT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_certificate(other.get()), false));
  EXPECT_TRUE(same_secret(read(id), before));
  EXPECT_HR(E_INVALIDARG, service.replace_protection(drive.c_str(), credential::of_certificate(nullptr), false));
  EXPECT_HR(E_INVALIDARG, service.replace_protection(drive.c_str(), credential::of_password(L""), false));
}

// A custodian copy that no longer opens, as after a lost DPAPI master key.
void break_custodian(const temp_folder& drive) {
  rewrite_index(drive, [](kv::provider::index_record& index) { index.custodian.assign(64, 0x42); });
}

TEST_F(keystore_test, the_password_brings_back_a_custodian_copy_that_no_longer_opens) {
  ASSERT_HR(S_OK, create_password_keystore(L"pw"));
  const GUID id = add_key(L"k");
  struct row {
    const char* name;
    HRESULT (*prove)(kv::provider::keystore_service&, const wchar_t* drive);
  };
  const row rows[] = {
      {"VerifyLastPwd", [](kv::provider::keystore_service& s, const wchar_t* d) { return s.verify_password(d, L"pw"); }},
      {"CreateKey with the password",
       [](kv::provider::keystore_service& s, const wchar_t* d) {
         return s.create_key(d, protection_kind::password, L"pw", L"new key", 0, false);
       }},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    break_custodian(drive);
    EXPECT_HR(NTE_PERM, service.rename_key(drive.c_str(), id, L"renamed"));
    EXPECT_EQ(service.verify_password(drive.c_str(), L"not pw"), invalid_password);  // renews nothing
    EXPECT_HR(NTE_PERM, service.rename_key(drive.c_str(), id, L"renamed"));
    ASSERT_HR(S_OK, r.prove(service, drive.c_str()));
    EXPECT_HR(S_OK, service.rename_key(drive.c_str(), id, L"renamed"));
    EXPECT_HR(S_OK, service.rename_key(drive.c_str(), id, L"k"));
  }
}

TEST_F(keystore_test, without_the_custodian_copy_a_certificate_keystore_needs_the_private_key) {
  const kv::unique_cert_context certificate = keyed_certificate();  // decoded from DER: no key of its own
  ASSERT_HR(S_OK, service.create_keystore(drive.c_str(), credential::of_certificate(certificate.get())));
  const auto create = [&](const wchar_t* name) {
    return service.create_key(drive.c_str(), protection_kind::certificate, nullptr, name, 0, false);
  };
  const auto signature = [&] { return read_index(drive).signature; };
  ASSERT_TRUE(signature().empty());  // made where the private key was not at hand
  const std::wstring index_path = drive.keystore() + L"\\keystore.luidx";
  const std::vector<std::uint8_t> whole = read_bytes(index_path);
  break_custodian(drive);
  {
    const keyed_certificate_in_my_store keyed;
    EXPECT_HR(NTE_BAD_SIGNATURE, create(L"a"));  // unsigned: nothing but the custodian copy vouches for it
  }
  write_bytes(index_path, whole);
  {
    const keyed_certificate_in_my_store keyed;
    EXPECT_HR(S_OK, create(L"b"));  // through the custodian copy, which gets the index signed
  }
  EXPECT_FALSE(signature().empty());
  break_custodian(drive);
  EXPECT_HR(NTE_PERM, create(L"c"));  // the index's public certificate alone opens nothing
  {
    const keyed_certificate_in_my_store keyed;
    EXPECT_HR(S_OK, create(L"d"));  // through the private key, which seals the custodian copy again
  }
  EXPECT_HR(S_OK, create(L"e"));
  EXPECT_EQ(key_ids(drive).size(), 3u);
}

// What anyone who may write the medium can make with the public certificate alone: a whole
// index with a keystore key of their own wrapped to it, its binding and history sealed under
// that key, and a custodian copy that opens for nobody. In the format of either signed or
// unsigned builds, the owner's next write refuses it and changes nothing.
TEST_F(keystore_test, a_certificate_index_written_with_the_public_certificate_alone_is_refused) {
  const keyed_certificate_in_my_store keyed;
  const kv::unique_cert_context certificate = keyed_certificate();
  ASSERT_HR(S_OK, service.create_keystore(drive.c_str(), credential::of_certificate(certificate.get())));
  add_key(L"mine", drive, protection_kind::certificate);
  for (const std::uint16_t version : {std::uint16_t{2}, kv::provider::index_version}) {
    SCOPED_TRACE(version);
    kv::provider::key256 attackers_key;
    ASSERT_HR(S_OK, kv::provider::random_bytes(attackers_key.bytes, kv::provider::key_size));
    rewrite_index(drive, [&](kv::provider::index_record& index) {
      index = hand_made_index(version, attackers_key, nullptr, certificate.get());
      index.custodian.assign(64, 0x42);
      if (version >= 3) index.signature.assign(256, 0x17);
    });
    const folder_contents before = contents_of(drive.keystore());
    EXPECT_HR(NTE_BAD_SIGNATURE, service.create_key(drive.c_str(), protection_kind::certificate, nullptr, L"new", 0, false));
    EXPECT_TRUE(contents_of(drive.keystore()) == before);
  }
}

// Builds before the signed index put every key at the top level, and those after them wrote
// keys into subfolders of a version 1 or 2 keystore, which the earlier builds then damaged. A
// keystore of an older version that this build writes a key to is marked version 3, which every
// older build refuses; its protection stays as it was.
TEST_F(keystore_test, a_key_written_to_an_older_keystore_marks_it_as_version_3) {
  ASSERT_HR(S_OK, create_password_keystore(L"pw"));
  for (const std::uint16_t version : {std::uint16_t{1}, std::uint16_t{2}}) {
    SCOPED_TRACE(version);
    kv::provider::key256 keystore_key;
    ASSERT_HR(S_OK, kv::provider::random_bytes(keystore_key.bytes, kv::provider::key_size));
    rewrite_index(drive, [&](kv::provider::index_record& index) {
      index = hand_made_index(version, keystore_key, L"pw", nullptr);
    });
    ASSERT_EQ(read_index(drive).version, version);
    EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"pw"));
    EXPECT_EQ(read_index(drive).version, version);  // reading and checking mark nothing
    const GUID id = add_key(version == 1 ? L"one" : L"two");
    const kv::provider::index_record marked = read_index(drive);
    EXPECT_EQ(marked.version, kv::provider::index_version);
    EXPECT_EQ(marked.protection_version, version);
    EXPECT_TRUE(read(id).record.name.equals(version == 1 ? L"one" : L"two"));
    EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"pw"));
  }
}

// Stops a protection change at one step, as a killed process would.
struct stop_at {
  kv::provider::write_step step;
  static bool stop(kv::provider::write_step seen, void* context) {
    return seen == static_cast<stop_at*>(context)->step;
  }
};

kv::provider::settings interrupted(const kv::provider::settings& base, stop_at& where) {
  kv::provider::settings config = base;
  config.interrupt.stop = stop_at::stop;
  config.interrupt.context = &where;
  return config;
}

TEST_F(keystore_test, a_change_killed_before_its_commit_leaves_the_old_protection_whole) {
  ASSERT_HR(S_OK, create_password_keystore(L"old"));
  const GUID id = add_key(L"k");
  const kv::provider::key_view before = read(id);
  stop_at where{kv::provider::write_step::temporary_written};  // the new index is written, not moved
  kv::provider::keystore_service killed(interrupted(settings.config, where));
  ASSERT_HR(E_ABORT, killed.replace_protection(drive.c_str(), credential::of_password(L"new"), true));
  const std::vector<std::wstring> left = drive.files();
  ASSERT_EQ(left.size(), 5u);  // ~temporary index, k.lukey, k.lukey.pending, lock, index
  EXPECT_EQ(left.back()[0], L'~');  // '~' sorts last

  EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"old"));
  EXPECT_TRUE(same_secret(read(id), before));
  ASSERT_HR(S_OK, service.replace_protection(drive.c_str(), credential::of_password(L"new"), true));
  EXPECT_TRUE(same_secret(read(id), before));
  EXPECT_EQ(drive.files(),
            (std::vector<std::wstring>{L"k.lukey", L"keystore.lock", L"keystore.luidx"}));  // leftovers swept
}

TEST_F(keystore_test, a_change_killed_after_its_commit_is_finished_by_the_next_writer) {
  ASSERT_HR(S_OK, create_password_keystore(L"old"));
  const GUID a = add_key(L"a");
  const GUID b = add_key(L"b");
  const kv::provider::key_view a_before = read(a);
  const kv::provider::key_view b_before = read(b);
  stop_at where{kv::provider::write_step::protection_committed};
  kv::provider::keystore_service killed(interrupted(settings.config, where));
  ASSERT_HR(E_ABORT, killed.replace_protection(drive.c_str(), credential::of_password(L"new"), true));
  EXPECT_EQ(drive.files().size(), 6u);  // both keys still wait as ".pending"

  EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"new"));
  EXPECT_TRUE(same_secret(read(a), a_before));
  EXPECT_TRUE(same_secret(read(b), b_before));
  EXPECT_EQ(drive.files(),
            (std::vector<std::wstring>{L"a.lukey", L"b.lukey", L"keystore.lock", L"keystore.luidx"}));
}

// Another writer changing the protection between a reader's index read and its key read, on
// the first `changes` of those reads.
struct changed_between_reads {
  changed_between_reads(kv::provider::keystore_service& by, const wchar_t* on, int count)
      : writer(&by), drive(on), changes(count) {}
  kv::provider::keystore_service* writer;
  const wchar_t* drive;
  int changes;
  int reads = 0;
  std::vector<HRESULT> results;

  static void change(void* context) {
    auto& self = *static_cast<changed_between_reads*>(context);
    if (self.reads++ < self.changes)
      self.results.push_back(self.writer->replace_protection(self.drive, credential::of_password(L"next"), false));
  }
};

TEST_F(keystore_test, a_reader_that_meets_a_protection_change_between_its_reads_reads_again) {
  ASSERT_HR(S_OK, create_password_keystore(L"old"));
  const GUID id = add_key(L"k");
  const kv::provider::key_view before = read(id);
  struct row {
    const char* name;
    int changes;
    HRESULT expected;
  };
  // The reader reads three times at most; when every read is overtaken it gives up.
  const row rows[] = {
      {"one change", 1, S_OK},
      {"two changes", 2, S_OK},
      {"a change under every read", 1000, NTE_BAD_DATA},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    changed_between_reads writer(service, drive.c_str(), r.changes);
    kv::provider::settings config = settings.config;
    config.reader.between_reads = changed_between_reads::change;
    config.reader.context = &writer;
    kv::provider::keystore_service reader(config);
    kv::provider::key_view key;
    EXPECT_EQ(reader.read_key(drive.c_str(), id, key), r.expected);
    EXPECT_EQ(writer.reads, std::min(r.changes + 1, 3));
    EXPECT_EQ(writer.results, std::vector<HRESULT>(std::min(r.changes, 3), S_OK));
    if (r.expected == S_OK) {
      EXPECT_TRUE(same_secret(key, before));
      EXPECT_EQ(std::memcmp(key.record.protection_id, read_index(drive).protection_id, kv::provider::id_size), 0);
    }
  }
}

TEST_F(keystore_test, a_pending_file_that_cannot_be_read_stops_the_next_writer_and_is_kept) {
  ASSERT_HR(S_OK, create_password_keystore(L"old"));
  const GUID id = add_key(L"k");
  const kv::provider::key_view before = read(id);
  stop_at where{kv::provider::write_step::protection_committed};
  kv::provider::keystore_service killed(interrupted(settings.config, where));
  ASSERT_HR(E_ABORT, killed.replace_protection(drive.c_str(), credential::of_password(L"new"), true));
  {
    // A virus scanner or backup holding the file without read sharing.
    kv::unique_file held(CreateFileW(drive.key_file(L"k.lukey.pending").c_str(), GENERIC_READ, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), service.create_key(drive.c_str(), protection_kind::password, nullptr, L"x", 0, false));
  }
  EXPECT_EQ(drive.files().size(), 4u);  // k.lukey, its pending file, lock, index
  EXPECT_HR(S_OK, service.create_key(drive.c_str(), protection_kind::password, L"new", L"x", 0, false));
  EXPECT_TRUE(same_secret(read(id), before));
}

TEST_F(keystore_test, a_damaged_index_or_key_file_is_reported_as_bad_data) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"k");
  const std::wstring key_file = drive.key_file(L"k.lukey");
  std::vector<std::uint8_t> bytes = read_bytes(key_file);
  bytes[bytes.size() / 2] ^= 0x01;
  write_bytes(key_file, bytes);
  kv::provider::key_view key;
  EXPECT_HR(NTE_BAD_DATA, service.read_key(drive.c_str(), id, key));
  EXPECT_HR(NTE_BAD_DATA, service.replace_protection(drive.c_str(), credential::of_password(L"new"), true));
  EXPECT_HR(S_OK, service.verify_password(drive.c_str(), L"first secret"));  // the failed change changed nothing

  const std::wstring index_file = drive.keystore() + L"\\keystore.luidx";
  bytes = read_bytes(index_file);
  bytes.pop_back();
  write_bytes(index_file, bytes);
  EXPECT_HR(NTE_BAD_DATA, service.create_key(drive.c_str(), protection_kind::password, nullptr, L"x", 0, false));
  EXPECT_HR(NTE_BAD_DATA, service.verify_password_history(drive.c_str(), L"x"));
}

}  // namespace
}  // namespace provider_test
