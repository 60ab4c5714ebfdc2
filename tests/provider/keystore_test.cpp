// The file keystore's drives, keys and failure codes, on folder drives in the temporary folder.
#include <algorithm>
#include <cstring>
#include <functional>

#include <aclapi.h>
#include <sddl.h>

#include "provider/keystore_folder.h"
#include "provider_test_support.h"
#include "tests/support/hresult_assert.h"
#include "types/kv_guid.h"
#include "win/owners.h"

namespace provider_test {
namespace {

using kv::provider::credential;
using kv::provider::protection_kind;

constexpr GUID unknown_id = {0x12345678, 0x1234, 0x4234, {0x82, 0x34, 1, 2, 3, 4, 5, 6}};

TEST_F(keystore_test, index_path_appears_only_once_the_keystore_is_created) {
  KV_path path(L"stale");
  EXPECT_HR(S_FALSE, service.index_path(drive.c_str(), path));
  EXPECT_TRUE(path.is_null() || path.length() == 0);
  KV_path folder;
  ASSERT_HR(S_OK, service.folder(drive.c_str(), folder));
  EXPECT_EQ(std::wstring(folder.text()), drive.keystore());

  ASSERT_HR(S_OK, create_password_keystore());
  ASSERT_HR(S_OK, service.index_path((drive.path() + L"\\\\").c_str(), path));  // trailing separators fold
  EXPECT_EQ(std::wstring(path.text()), drive.keystore() + L"\\keystore.luidx");
  EXPECT_EQ(create_password_keystore(L"another"), already_exists);
}

TEST_F(keystore_test, key_files_left_without_their_index_block_a_new_keystore) {
  ASSERT_HR(S_OK, create_password_keystore());
  add_key(L"orphan");
  ASSERT_TRUE(DeleteFileW((drive.keystore() + L"\\keystore.luidx").c_str()));
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY), create_password_keystore());
  ASSERT_TRUE(DeleteFileW(drive.key_file(L"orphan.lukey").c_str()));
  EXPECT_HR(S_OK, create_password_keystore());
}

TEST_F(keystore_test, drive_texts_that_name_no_usable_folder_are_refused) {
  struct row {
    const char* name;
    std::wstring drive;
    HRESULT expected;
  };
  const row rows[] = {
      {"empty", L"", E_INVALIDARG},
      {"relative", L"some\\folder", E_INVALIDARG},
      {"missing folder", drive.path() + L"\\absent", path_not_found},
      {"a file, not a folder", drive.path() + L"\\file.txt", path_not_found},
      {"unmapped letter", L"Q:\\", path_not_found},
  };
  write_bytes(drive.path() + L"\\file.txt", {1, 2, 3});
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(service.create_keystore(r.drive.c_str(), credential::of_password(L"pw")), r.expected);
    KV_path folder;
    EXPECT_EQ(service.folder(r.drive.c_str(), folder), r.expected);
    std::uint32_t type = 99;
    EXPECT_EQ(service.drive_type(r.drive.c_str(), type), r.expected);
    EXPECT_EQ(type, 99u);
  }
}

TEST_F(keystore_test, every_keystore_operation_on_a_drive_without_keystore_answers_bad_keyset) {
  const wchar_t* d = drive.c_str();
  const GUID id = unknown_id;
  const std::wstring export_file = drive.path() + L"\\out.luexp";
  struct row {
    const char* name;
    std::function<HRESULT()> call;
  };
  const row rows[] = {
      {"create_key", [&] { return service.create_key(d, protection_kind::password, nullptr, L"k", 0, false); }},
      {"create_key_cert", [&] { return service.create_key(d, protection_kind::certificate, nullptr, L"k", 0, false); }},
      {"delete_key", [&] { return service.delete_key(d, id); }},
      {"rename_key", [&] { return service.rename_key(d, id, L"new"); }},
      {"export_key", [&] { return service.export_key(d, id, export_file.c_str(), L"pw"); }},
      {"import_key", [&] { return service.import_key(d, export_file.c_str(), credential::of_password(L"pw")); }},
      {"replace_protection", [&] { return service.replace_protection(d, credential::of_password(L"pw"), true); }},
      {"verify_password_history", [&] { return service.verify_password_history(d, L"pw"); }},
      {"verify_password", [&] { return service.verify_password(d, L"pw"); }},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_HR(NTE_BAD_KEYSET, r.call());
  }
  EXPECT_TRUE(files_in(drive.path()).empty());  // nothing was made on the way
}

TEST_F(keystore_test, a_created_key_is_found_by_its_id_and_holds_what_was_given) {
  ASSERT_HR(S_OK, create_password_keystore());
  ASSERT_HR(S_OK, service.create_key(drive.c_str(), protection_kind::password, L"first secret", L"Signing key", 600, true));
  const std::vector<GUID> ids = key_ids(drive);
  ASSERT_EQ(ids.size(), 1u);

  KV_paths found;
  ASSERT_HR(S_OK, service.locate(ids[0], found));
  EXPECT_EQ(texts(found), std::vector<std::wstring>{drive.key_file(L"Signing key.lukey")});
  const kv::provider::key_view key = read(ids[0]);
  EXPECT_TRUE(key.record.name.equals(L"Signing key"));
  EXPECT_EQ(key.record.timeout, 600u);
  EXPECT_EQ(key.record.flags, 1u);
  EXPECT_EQ(key.record.id.Data3 >> 12, 4);  // a random GUID

  const GUID other = add_key(L"Second");
  EXPECT_NE(std::memcmp(read(other).secret.bytes, key.secret.bytes, kv::provider::key_size), 0);
  found.clear();
  ASSERT_HR(S_OK, service.locate(unknown_id, found));
  EXPECT_TRUE(found.empty());
}

TEST_F(keystore_test, create_key_checks_a_given_password_and_the_keystore_kind) {
  ASSERT_HR(S_OK, create_password_keystore());
  const wchar_t* d = drive.c_str();
  EXPECT_EQ(service.create_key(d, protection_kind::password, L"wrong", L"k", 0, false), invalid_password);
  EXPECT_HR(NTE_BAD_KEY_STATE, service.create_key(d, protection_kind::certificate, nullptr, L"k", 0, false));
  EXPECT_HR(E_INVALIDARG, service.create_key(d, protection_kind::password, nullptr, L"", 0, false));
  EXPECT_TRUE(key_ids(drive).empty());
  EXPECT_EQ(drive.files(), (std::vector<std::wstring>{L"keystore.lock", L"keystore.luidx"}));
}

TEST_F(keystore_test, key_names_are_unique_without_regard_to_letter_case) {
  ASSERT_HR(S_OK, create_password_keystore());
  add_key(L"Alpha");
  EXPECT_EQ(service.create_key(drive.c_str(), protection_kind::password, nullptr, L"ALPHA", 0, false), name_in_use);
  EXPECT_EQ(key_ids(drive).size(), 1u);
}

TEST_F(keystore_test, delete_removes_the_key_file_and_its_link) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID kept = add_key(L"kept");
  const GUID gone = add_key(L"gone");
  ASSERT_HR(S_OK, service.delete_key(drive.c_str(), gone));
  EXPECT_HR(NTE_NOT_FOUND, service.delete_key(drive.c_str(), gone));
  ASSERT_EQ(key_ids(drive).size(), 1u);
  EXPECT_TRUE(IsEqualGUID(key_ids(drive)[0], kept));
  EXPECT_EQ(drive.files(), (std::vector<std::wstring>{L"kept.lukey", L"keystore.lock", L"keystore.luidx"}));
}

TEST_F(keystore_test, rename_moves_the_key_to_its_new_file_and_keeps_id_and_secret) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"old name");
  add_key(L"taken");
  const kv::provider::key_view before = read(id);

  EXPECT_EQ(service.rename_key(drive.c_str(), id, L"taken"), name_in_use);
  EXPECT_HR(NTE_NOT_FOUND, service.rename_key(drive.c_str(), unknown_id, L"free"));
  ASSERT_HR(S_OK, service.rename_key(drive.c_str(), id, L"new: name"));

  KV_paths found;
  ASSERT_HR(S_OK, service.locate(id, found));
  EXPECT_EQ(texts(found), std::vector<std::wstring>{drive.key_file(L"new%3A name.lukey")});
  const kv::provider::key_view after = read(id);
  EXPECT_TRUE(after.record.name.equals(L"new: name"));
  EXPECT_EQ(std::memcmp(after.secret.bytes, before.secret.bytes, kv::provider::key_size), 0);
  EXPECT_EQ(drive.files(), (std::vector<std::wstring>{L"keystore.lock", L"keystore.luidx",
                                                                   L"new%3A name.lukey", L"taken.lukey"}));
}

TEST_F(keystore_test, keys_written_at_the_top_of_the_keystore_by_earlier_versions_stay_usable) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"Early");
  const kv::provider::key_view before = read(id);
  const std::wstring link = std::wstring(L"\\ids\\") + KV_guid(id).text + L".luid";
  move_to_flat_layout(drive, id, L"Early.lukey");
  EXPECT_EQ(std::memcmp(read(id).secret.bytes, before.secret.bytes, kv::provider::key_size), 0);
  EXPECT_EQ(service.create_key(drive.c_str(), protection_kind::password, nullptr, L"EARLY", 0, false), name_in_use);
  ASSERT_HR(S_OK, service.rename_key(drive.c_str(), id, L"early"));  // moves it into the subfolders
  EXPECT_EQ(std::memcmp(read(id).secret.bytes, before.secret.bytes, kv::provider::key_size), 0);
  EXPECT_NE(drive.key_file(L"early.lukey"), drive.keystore() + L"\\early.lukey");
  EXPECT_EQ(GetFileAttributesW((drive.keystore() + link).c_str()), INVALID_FILE_ATTRIBUTES);
  ASSERT_HR(S_OK, service.delete_key(drive.c_str(), id));
  EXPECT_TRUE(key_ids(drive).empty());

  // A rename whose old link and file cannot go (held open) leaves them beside the new ones; a
  // delete then takes both, so the key does not come back under its old name.
  const GUID held = add_key(L"Held");
  move_to_flat_layout(drive, held, L"Held.lukey");
  {
    const auto hold = [](const std::wstring& path) {
      return kv::unique_file(
          CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    const kv::unique_file link_open = hold(drive.keystore() + L"\\ids\\" + KV_guid(held).text + L".luid");
    const kv::unique_file file_open = hold(drive.keystore() + L"\\Held.lukey");
    ASSERT_TRUE(link_open && file_open);
    ASSERT_HR(S_OK, service.rename_key(drive.c_str(), held, L"moved"));
  }
  EXPECT_TRUE(read(held).record.name.equals(L"moved"));
  ASSERT_HR(S_OK, service.delete_key(drive.c_str(), held));
  kv::provider::key_view gone;
  EXPECT_HR(NTE_NOT_FOUND, service.read_key(drive.c_str(), held, gone));
}

// A folder drive deep enough that every keystore file passes MAX_PATH, and key names at the
// limit: their files, the pending files of a protection change and the temporary files all
// reach the file system in extended form. (Wine keeps no MAX_PATH limit of its own, so there this
// shows the paths that are built, not a limit that is avoided.)
TEST_F(keystore_test, keys_with_the_longest_names_work_in_a_deep_folder_drive) {
  const std::wstring deep = drive.path() + L"\\" + std::wstring(200, L'd');
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
  const std::wstring longest(241, L'n');
  const std::wstring other(241, L'm');
  ASSERT_HR(S_OK, service.create_keystore(deep.c_str(), credential::of_password(L"pw")));
  ASSERT_HR(S_OK, service.create_key(deep.c_str(), protection_kind::password, nullptr, longest.c_str(), 0, false));
  const std::vector<GUID> ids = key_ids_in(deep + L"\\DoDadev Keystore");
  ASSERT_EQ(ids.size(), 1u);
  const GUID id = ids[0];
  ASSERT_HR(S_OK, service.rename_key(deep.c_str(), id, other.c_str()));
  ASSERT_HR(S_OK, service.replace_protection(deep.c_str(), credential::of_password(L"new pw"), true));
  kv::provider::key_view key;
  ASSERT_HR(S_OK, service.read_key(deep.c_str(), id, key));
  EXPECT_TRUE(key.record.name.equals(other.c_str()));
  EXPECT_HR(S_OK, service.delete_key(deep.c_str(), id));
  EXPECT_HR(NTE_NOT_FOUND, service.read_key(deep.c_str(), id, key));
}

TEST_F(keystore_test, a_rename_that_changes_only_letter_case_keeps_the_file_for_any_letters) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"\u00C4rger");
  ASSERT_HR(S_OK, service.rename_key(drive.c_str(), id, L"\u00E4rger"));
  EXPECT_TRUE(read(id).record.name.equals(L"\u00E4rger"));
  EXPECT_EQ(drive.files().size(), 3u);  // one key file, lock, index
}

TEST_F(keystore_test, a_rename_killed_between_its_writes_leaves_no_name_blocked) {
  ASSERT_HR(S_OK, create_password_keystore());
  for (int stop_at : {1, 2}) {  // before the link moves (new file orphaned), after it (old file orphaned)
    SCOPED_TRACE(stop_at);
    const std::wstring old_name = L"old " + std::to_wstring(stop_at);
    const std::wstring new_name = L"new " + std::to_wstring(stop_at);
    const GUID id = add_key(old_name.c_str());
    struct counter {
      int left;
    } steps{stop_at};
    kv::provider::settings config = settings.config;
    config.interrupt.stop = [](kv::provider::write_step, void* context) {
      return static_cast<counter*>(context)->left-- == 0;
    };
    config.interrupt.context = &steps;
    kv::provider::keystore_service killed(config);
    if (stop_at == 1) {
      EXPECT_HR(E_ABORT, killed.rename_key(drive.c_str(), id, new_name.c_str()));
    } else {
      // The old file is the one left behind: stop the delete by holding the file.
      kv::unique_file held(CreateFileW(drive.key_file(old_name + L".lukey").c_str(), GENERIC_READ,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      EXPECT_HR(S_OK, service.rename_key(drive.c_str(), id, new_name.c_str()));
    }
    // Whichever name the orphan holds is free again for a new key.
    EXPECT_EQ(service.create_key(drive.c_str(), protection_kind::password, nullptr, old_name.c_str(), 0, false),
              stop_at == 1 ? name_in_use : S_OK);
    EXPECT_EQ(service.create_key(drive.c_str(), protection_kind::password, nullptr, new_name.c_str(), 0, false),
              stop_at == 1 ? S_OK : name_in_use);
    EXPECT_TRUE(read(id).record.name.equals(stop_at == 1 ? old_name.c_str() : new_name.c_str()));
  }
}

TEST_F(keystore_test, locate_searches_every_known_folder_drive_and_sorts_the_result) {
  temp_folder second;
  ASSERT_HR(S_OK, create_password_keystore());
  ASSERT_HR(S_OK, service.create_keystore(second.c_str(), credential::of_password(L"pw")));
  const GUID id = add_key(L"shared");
  // The same key in the second keystore, as an import would leave it.
  const std::wstring export_file = drive.path() + L"\\shared.luexp";
  ASSERT_HR(S_OK, service.export_key(drive.c_str(), id, export_file.c_str(), L"transfer"));
  ASSERT_HR(S_OK, service.import_key(second.c_str(), export_file.c_str(), credential::of_password(L"transfer")));

  KV_paths found;
  ASSERT_HR(S_OK, service.locate(id, found));
  std::vector<std::wstring> expected{drive.key_file(L"shared.lukey"), second.key_file(L"shared.lukey")};
  if (KV_path(expected[1].c_str()).precedes(KV_path(expected[0].c_str()))) std::swap(expected[0], expected[1]);
  EXPECT_EQ(texts(found), expected);

  // A folder drive that is there without its keystore is forgotten; one that is gone is kept.
  const std::wstring folders = std::wstring(settings.config.registry_key) + L"\\Folders";
  auto remembered = [&](const std::wstring& root) {
    return RegGetValueW(HKEY_CURRENT_USER, folders.c_str(), root.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
  };
  temp_folder third;
  ASSERT_HR(S_OK, service.create_keystore(third.c_str(), credential::of_password(L"pw")));
  ASSERT_TRUE(remembered(second.path()) && remembered(third.path()));
  kv::test::remove_tree(second.keystore());
  kv::test::remove_tree(third.path());
  found.clear();
  ASSERT_HR(S_OK, service.locate(id, found));
  EXPECT_EQ(texts(found), std::vector<std::wstring>{drive.key_file(L"shared.lukey")});
  EXPECT_FALSE(remembered(second.path()));
  EXPECT_TRUE(remembered(third.path()));
}

TEST_F(keystore_test, a_write_killed_before_its_replace_leaves_nothing_that_counts) {
  ASSERT_HR(S_OK, create_password_keystore());
  // Stop at the second temporary file of the key: its id link is in place, the key file is not.
  struct counter {
    int left;
  } steps{1};
  service = kv::provider::keystore_service([&] {
    kv::provider::settings config = settings.config;
    config.interrupt.stop = [](kv::provider::write_step, void* context) {
      return static_cast<counter*>(context)->left-- == 0;
    };
    config.interrupt.context = &steps;
    return config;
  }());
  EXPECT_HR(E_ABORT, service.create_key(drive.c_str(), protection_kind::password, nullptr, L"crashed", 0, false));
  const std::vector<GUID> dangling = key_ids(drive);
  ASSERT_EQ(dangling.size(), 1u);
  ASSERT_EQ(drive.files().size(), 3u);  // lock, index and the temporary file
  EXPECT_EQ(drive.files().back()[0], L'~');  // '~' sorts last

  service = kv::provider::keystore_service(settings.config);
  KV_paths found;
  ASSERT_HR(S_OK, service.locate(dangling[0], found));
  EXPECT_TRUE(found.empty());
  EXPECT_HR(NTE_NOT_FOUND, service.delete_key(drive.c_str(), dangling[0]));
  const GUID id = add_key(L"crashed");
  EXPECT_TRUE(read(id).record.name.equals(L"crashed"));
}

TEST_F(keystore_test, a_second_writer_waits_for_the_lock_and_then_gives_up) {
  ASSERT_HR(S_OK, create_password_keystore());
  kv::unique_file held(CreateFileW((drive.keystore() + L"\\keystore.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  kv::provider::settings config = settings.config;
  config.lock_timeout_ms = 50;
  kv::provider::keystore_service impatient(config);
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_BUSY), impatient.create_key(drive.c_str(), protection_kind::password, nullptr, L"k", 0, false));
  held.reset();
  EXPECT_HR(S_OK, impatient.create_key(drive.c_str(), protection_kind::password, nullptr, L"k", 0, false));
}

std::wstring current_user_text() {
  kv::unique_handle token;
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
  BYTE buffer[256];
  DWORD size = 0;
  EXPECT_TRUE(GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size));
  LPWSTR text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text));
  const kv::unique_local text_owner(text);
  return text ? text : L"";
}

TEST_F(keystore_test, the_keystore_folder_admits_only_the_user_system_and_administrators) {
  ASSERT_HR(S_OK, create_password_keystore());
  PSID owner = nullptr;
  PACL dacl = nullptr;
  kv::unique_local descriptor;
  ASSERT_EQ(GetNamedSecurityInfoW(drive.keystore().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, &owner,
                                  nullptr, &dacl, nullptr, descriptor.put()),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  // Wine derives the list it reads back from the Unix mode bits, so it shows SYSTEM and the user
  // but not Administrators; Windows shows the three entries as written, marked protected.
  const std::wstring user = current_user_text();
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &entry));
    LPWSTR sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart, &sid));
    const kv::unique_local sid_owner(sid);
    const std::wstring text = sid;
    EXPECT_TRUE(text == user || text == L"S-1-5-18" || text == L"S-1-5-32-544") << text.c_str();
  }
}

TEST(keystore_folder, access_lists_that_let_other_accounts_change_the_folder_are_refused) {
  const std::wstring user = current_user_text();
  const std::wstring owned = L"O:" + user + L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + user + L")";
  struct row {
    const char* name;
    std::wstring sddl;
    bool refused;
  };
  const row rows[] = {
      {"as the keystore makes it", owned, false},
      {"everyone may read", owned + L"(A;OICI;0x1200a9;;;WD)", false},
      {"creator owner full control", owned + L"(A;OICIIO;FA;;;CO)", false},
      {"a denial for everyone", owned + L"(D;OICI;FA;;;WD)", false},
      {"owned by administrators", L"O:BAD:(A;;FA;;;BA)", false},
      {"everyone full control", owned + L"(A;OICI;FA;;;WD)", true},
      {"users may add files (a volume root)", owned + L"(A;;0x2;;;BU)", true},
      {"authenticated users modify what is made inside", owned + L"(A;OICIIO;0x1301bf;;;AU)", true},
      {"no access list at all", L"O:" + user, true},
      {"owned by everyone", L"O:WDD:(A;;FA;;;SY)", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    kv::unique_local descriptor;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(r.sddl.c_str(), SDDL_REVISION_1,
                                                                     descriptor.put(), nullptr));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
    kv::unique_local user_sid;
    ASSERT_TRUE(ConvertStringSidToSidW(user.c_str(), user_sid.put()));
    EXPECT_EQ(kv::provider::others_can_change(owner, present ? dacl : nullptr, user_sid.get()), r.refused);
  }
}

TEST_F(keystore_test, links_in_place_of_the_keystore_folder_or_its_files_are_refused) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"k");
  // A lock file that is another name of a file elsewhere (a hard link) is not written through.
  const std::wstring outside = drive.path() + L"\\outside.txt";
  write_bytes(outside, {1, 2, 3});
  const std::wstring lock = drive.keystore() + L"\\keystore.lock";
  ASSERT_TRUE(DeleteFileW(lock.c_str()));
  ASSERT_TRUE(CreateHardLinkW(lock.c_str(), outside.c_str(), nullptr));
  EXPECT_HR(E_ACCESSDENIED, service.create_key(drive.c_str(), protection_kind::password, nullptr, L"x", 0, false));
  EXPECT_EQ(read_bytes(outside), (std::vector<std::uint8_t>{1, 2, 3}));
  ASSERT_TRUE(DeleteFileW(lock.c_str()));
  // A keystore folder that is a link to someone else's folder. Wine 8 makes no symbolic links or
  // junctions (CreateSymbolicLinkW answers TRUE and makes nothing); there this part shows nothing.
  temp_folder other;
  const std::wstring linked = other.path() + L"\\DoDadev Keystore";
  if (CreateSymbolicLinkW(linked.c_str(), drive.keystore().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      GetFileAttributesW(linked.c_str()) != INVALID_FILE_ATTRIBUTES) {
    kv::provider::key_view key;
    EXPECT_HR(E_ACCESSDENIED, service.read_key(other.c_str(), id, key));
    EXPECT_HR(E_ACCESSDENIED, service.create_keystore(other.c_str(), credential::of_password(L"pw")));
    RemoveDirectoryW(linked.c_str());
  }
  // Key subfolders are checked like the keystore folder: a file in their place, or a link to a
  // folder elsewhere (only where links can be made), is refused.
  const std::wstring shard = drive.key_file(L"k.lukey").substr(0, drive.key_file(L"k.lukey").rfind(L'\\'));
  const std::wstring moved = other.path() + L"\\shard";
  kv::provider::key_view key;
  ASSERT_TRUE(MoveFileW(shard.c_str(), moved.c_str()));
  write_bytes(shard, {0});
  EXPECT_HR(E_ACCESSDENIED, service.read_key(drive.c_str(), id, key));
  ASSERT_TRUE(DeleteFileW(shard.c_str()));
  if (CreateSymbolicLinkW(shard.c_str(), moved.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      GetFileAttributesW(shard.c_str()) != INVALID_FILE_ATTRIBUTES) {
    EXPECT_HR(E_ACCESSDENIED, service.read_key(drive.c_str(), id, key));
  }
}

// The folders an operation checked stay held until it ends, opened without delete sharing: an
// open for deletion, which renaming or deleting a folder needs, is refused while the operation
// runs, so the folder that was checked is the one every later open by path reaches. Wine 8 keeps
// no sharing rule for folders (only for files): there the operation runs with its folders held,
// and the refusal is shown on Windows only.
TEST_F(keystore_test, the_checked_folders_cannot_be_swapped_while_an_operation_uses_them) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"k");
  static std::vector<std::wstring> held;
  static std::vector<DWORD> refusals;
  held = {drive.keystore(), drive.key_file(L"k.lukey").substr(0, drive.key_file(L"k.lukey").rfind(L'\\'))};
  refusals.clear();
  kv::provider::before_change = [] {
    for (const std::wstring& folder : held) {
      const kv::unique_file for_deletion(CreateFileW(folder.c_str(), DELETE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
      refusals.push_back(for_deletion ? 0 : GetLastError());
    }
  };
  const HRESULT renamed = service.rename_key(drive.c_str(), id, L"k2");
  kv::provider::before_change = nullptr;
  EXPECT_HR(S_OK, renamed);
  EXPECT_TRUE(read(id).record.name.equals(L"k2"));
  ASSERT_FALSE(refusals.empty());
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) GTEST_SKIP() << "Wine 8 shares every folder";
  for (const DWORD refusal : refusals) EXPECT_EQ(refusal, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(keystore_test, readers_need_no_lock_and_a_lock_that_cannot_be_written_fails_at_once) {
  ASSERT_HR(S_OK, create_password_keystore());
  const GUID id = add_key(L"k");
  kv::provider::settings config = settings.config;
  config.lock_timeout_ms = 60000;  // a wait would show as a hang
  kv::provider::keystore_service impatient(config);
  const std::wstring lock = drive.keystore() + L"\\keystore.lock";
  {
    kv::unique_file held(CreateFileW(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    kv::provider::key_view key;
    EXPECT_HR(S_OK, impatient.read_key(drive.c_str(), id, key));
    EXPECT_HR(S_OK, impatient.export_key(drive.c_str(), id, (drive.path() + L"\\k.luexp").c_str(), L"pw"));
  }
  // Opening the lock for writing is denied, as on a read-only medium. (A folder in its place
  // denies it everywhere; a read-only attribute does not under Wine when the tests run as root.)
  ASSERT_TRUE(DeleteFileW(lock.c_str()));
  ASSERT_TRUE(CreateDirectoryW(lock.c_str(), nullptr));
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), impatient.create_key(drive.c_str(), protection_kind::password, nullptr, L"x", 0, false));
  ASSERT_TRUE(RemoveDirectoryW(lock.c_str()));
}

std::wstring listed_root;
HRESULT one_root(KV_paths& roots) {
  roots.emplace_back(listed_root.c_str());
  return S_OK;
}

TEST_F(keystore_test, populated_drives_are_those_holding_a_keystore) {
  listed_root = drive.path() + L"\\";
  kv::provider::settings config = settings.config;
  config.volume_roots = one_root;
  kv::provider::keystore_service listing(config);
  KV_paths roots;
  ASSERT_HR(S_OK, listing.drives(true, 0, roots));
  EXPECT_TRUE(roots.empty());
  ASSERT_HR(S_OK, create_password_keystore());
  ASSERT_HR(S_OK, listing.drives(true, 0, roots));
  EXPECT_EQ(texts(roots), std::vector<std::wstring>{listed_root});
}

// A clock that moves `step` milliseconds at every reading: each probe takes `step`.
struct stepping_clock {
  static inline ULONGLONG now = 0;
  static inline ULONGLONG step = 0;
  static ULONGLONG read() {
    const ULONGLONG time = now;
    now += step;
    return time;
  }
};

TEST_F(keystore_test, a_drive_whose_probe_was_slow_is_passed_over_until_the_skip_time_ends) {
  using kv::provider::slow_drive_cache;
  struct row {
    const char* name;
    ULONGLONG probe_ms;
    bool passed_over;
  };
  const row rows[] = {
      {"a quick miss", slow_drive_cache::slow_ms - 1, false},
      {"a slow miss", slow_drive_cache::slow_ms, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    temp_folder probed;
    listed_root = probed.path() + L"\\";
    slow_drive_cache slow_drives(stepping_clock::read);
    kv::provider::settings config = settings.config;
    config.volume_roots = one_root;
    config.slow_drives = &slow_drives;
    kv::provider::keystore_service listing(config);
    const auto listed = [&] {
      KV_paths roots;
      EXPECT_HR(S_OK, listing.drives(true, 0, roots));
      return !roots.empty();
    };
    stepping_clock::now = 1000000;
    stepping_clock::step = r.probe_ms;
    EXPECT_FALSE(listed());  // no keystore there yet
    ASSERT_HR(S_OK, listing.create_keystore(probed.c_str(), credential::of_password(L"pw")));
    stepping_clock::step = 0;
    const ULONGLONG missed_at = stepping_clock::now;
    EXPECT_EQ(listed(), !r.passed_over);
    stepping_clock::now = missed_at + slow_drive_cache::skip_ms - 60000;
    EXPECT_EQ(listed(), !r.passed_over);
    stepping_clock::now = missed_at + slow_drive_cache::skip_ms;
    EXPECT_TRUE(listed());
  }
}

TEST_F(keystore_test, drives_selects_volume_roots_by_type_bit) {
  kv::provider::settings config = settings.config;
  config.volume_roots = nullptr;  // the real roots: Wine maps C: to a fixed disk
  kv::provider::keystore_service real(config);
  KV_paths all;
  ASSERT_HR(S_OK, real.drives(false, 0, all));
  ASSERT_FALSE(all.empty());
  const std::wstring first = all.front().text();
  const UINT type = GetDriveTypeW(first.c_str());
  struct row {
    const char* name;
    std::uint32_t types;
    bool listed;
  };
  const row rows[] = {
      {"its own type bit", 1u << type, true},
      {"its bit among others", (1u << type) | 1u, true},
      {"another type only", 1u << ((type + 1) % 7), false},
      {"bits above the known types", 0x80000000u, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    KV_paths selected;
    ASSERT_HR(S_OK, real.drives(false, r.types, selected));
    const std::vector<std::wstring> names = texts(selected);
    EXPECT_EQ(std::find(names.begin(), names.end(), first) != names.end(), r.listed);
  }
  std::uint32_t drive_type = 0;
  ASSERT_HR(S_OK, service.drive_type(drive.c_str(), drive_type));  // a folder drive has its volume's type
  EXPECT_EQ(drive_type, GetDriveTypeW(L"C:\\"));
}

}  // namespace
}  // namespace provider_test
