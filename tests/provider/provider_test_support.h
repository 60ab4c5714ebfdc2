#pragma once
// Helpers of the provider tests: a folder drive in the temporary folder, per-test settings with
// the lowered work factor, the certificate fixtures, and views of the files a keystore holds.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "provider/keystore.h"
#include "tests/support/fresh_folder.h"
#include "win/cert_owners.h"

namespace provider_test {

// A folder drive: a fresh temporary folder, and where its keystore goes.
class temp_folder : public kv::test::fresh_folder {
 public:
  temp_folder() : kv::test::fresh_folder(L"kv-provider-") {}
  std::wstring keystore() const { return path() + L"\\DoDadev Keystore"; }
  // The names of the files at the top of the keystore and in its key subfolders, sorted.
  std::vector<std::wstring> files() const;
  // Where the file of that name is, at the top or in a key subfolder.
  std::wstring key_file(const std::wstring& name) const;
};

// What the tests write with, like the test build of the DLL: seconds instead of minutes.
constexpr std::uint32_t test_work_factor = 1000;

// Settings in a registry key of their own (deleted at the end), with the test work factor and
// no volume roots, so that searches look only at the folder drives a test makes.
class test_settings {
 public:
  test_settings();
  ~test_settings();
  test_settings(const test_settings&) = delete;
  test_settings& operator=(const test_settings&) = delete;
  kv::provider::settings config;

 private:
  std::wstring key_;
};

// The certificate fixtures (tests/support/certs), decoded from their DER forms: public
// certificates without a private key.
kv::unique_cert_context first_certificate();
kv::unique_cert_context second_certificate();
kv::unique_cert_context keyed_certificate();

// While it lives, the keyed certificate is in the user's "MY" store with its private key
// (user-keyed.pfx imported with CRYPT_USER_KEYSET).
class keyed_certificate_in_my_store {
 public:
  keyed_certificate_in_my_store();
  ~keyed_certificate_in_my_store();
  keyed_certificate_in_my_store(const keyed_certificate_in_my_store&) = delete;
  keyed_certificate_in_my_store& operator=(const keyed_certificate_in_my_store&) = delete;

 private:
  kv::unique_cert_context added_;
};

// File names (not paths) directly in a folder, sorted; ".", ".." and subfolders left out.
std::vector<std::wstring> files_in(const std::wstring& folder);
// The ids that the keystore's id links name.
std::vector<GUID> key_ids(const temp_folder& drive);
std::vector<GUID> key_ids_in(const std::wstring& keystore_folder);
std::vector<std::uint8_t> read_bytes(const std::wstring& path);
void write_bytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
// Decodes the drive's index, lets `change` alter it and writes it back with a fitting checksum,
// as anyone who can write the file could.
void rewrite_index(const temp_folder& drive, const std::function<void(kv::provider::index_record&)>& change);
// The drive's index, decoded.
kv::provider::index_record read_index(const temp_folder& drive);
// An index as a build of `version` (1, 2 or 3) wrote it, protecting `keystore_key` with
// `password` or, when that is null, with `certificate`'s public key; unsigned, its custodian copy
// made for this account.
kv::provider::index_record hand_made_index(std::uint16_t version, const kv::provider::key256& keystore_key,
                                           const wchar_t* password, PCCERT_CONTEXT certificate);
// Moves a key where builds before the subfolders kept it: "<file name>" at the top of the
// keystore and "ids\\{GUID}.luid" holding the bare file name.
void move_to_flat_layout(const temp_folder& drive, const GUID& id, const std::wstring& file_name);
// Every file below a folder with its bytes, to show that a refusal changed nothing.
using folder_contents = std::map<std::wstring, std::vector<std::uint8_t>>;
folder_contents contents_of(const std::wstring& folder);
// A path list as std::wstrings.
std::vector<std::wstring> texts(const KV_paths& paths);

constexpr HRESULT invalid_password = HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
constexpr HRESULT name_in_use = HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
constexpr HRESULT already_exists = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
constexpr HRESULT path_not_found = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
constexpr HRESULT password_in_history = HRESULT_FROM_WIN32(ERROR_PASSWORD_RESTRICTION);

// A keystore service on a folder drive, with helpers that create keys and learn their ids.
class keystore_test : public ::testing::Test {
 protected:
  HRESULT create_password_keystore(const wchar_t* password = L"first secret") {
    return service.create_keystore(drive.c_str(), kv::provider::credential::of_password(password));
  }
  // Creates a key (custodian path) and answers its id; fails the test when that does not work.
  GUID add_key(const wchar_t* name, const temp_folder& where,
               kv::provider::protection_kind kind = kv::provider::protection_kind::password);
  GUID add_key(const wchar_t* name) { return add_key(name, drive); }
  kv::provider::key_view read(const GUID& id, const temp_folder& where);
  kv::provider::key_view read(const GUID& id) { return read(id, drive); }

  temp_folder drive;
  test_settings settings;
  kv::provider::keystore_service service{settings.config};
};

}  // namespace provider_test
