#pragma once
// The file keystore behind the provider's COM object: one keystore per drive (a volume root such
// as "E:\" or any folder), in the folder "DoDadev Keystore" there. docs/provider.md describes the
// files, the protection scheme and every failure code; the summary:
//
//   keystore.luidx          the index: how the keystore is protected, the keystore key under the
//                           credential and under DPAPI (the custodian copy), the password history
//   <name>.lukey            one file per key: id, name, timeout, flags, creation time and the
//                           key's 32-byte secret under the keystore key (AES-256-GCM)
//   ids\{GUID}.luid         the name of the key file with that id (lookup by id without a scan)
//   keystore.lock           held open exclusively by whoever writes
//
// Every method answers an HRESULT and never throws except std::bad_alloc.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

#include "provider/keystore_files.h"
#include "provider/keystore_folder.h"
#include "provider/keystore_format.h"
#include "types/kv_path.h"
#include "types/kv_paths.h"

namespace kv::provider {

// PBKDF2 iterations for new passwords, history entries and export seals.
constexpr std::uint32_t production_work_factor = 600000;

// Where the provider keeps its per-user state and what tests replace.
struct settings {
  // "Folders" below this key lists the folder drives that hold a keystore (value names).
  HKEY registry_root = HKEY_CURRENT_USER;
  const wchar_t* registry_key = L"Software\\DoDadev\\Provider";
  // The volume roots that drive listings and key searches look at; null: GetLogicalDriveStringsW.
  HRESULT (*volume_roots)(KV_paths& roots) = nullptr;
  // How long a writer waits for another writer of the same keystore.
  DWORD lock_timeout_ms = 10000;
  // PBKDF2 iterations for what is written from now on. Only code sets it: the shipped DLL keeps
  // the production value, tests lower it (files keep their own factor, so both read alike).
  std::uint32_t work_factor = production_work_factor;
  interrupt_hook interrupt;
};

// A credential as an operation receives it. `none` means the caller gave nothing: the keystore
// key then comes from the custodian copy (or, for an export file, its custodian seal).
struct credential {
  enum class kind { none, password, certificate };
  kind type = kind::none;
  const wchar_t* password = nullptr;
  PCCERT_CONTEXT certificate = nullptr;

  static credential nothing() { return {}; }
  static credential of_password(const wchar_t* text) { return {kind::password, text, nullptr}; }
  static credential of_certificate(PCCERT_CONTEXT context) { return {kind::certificate, nullptr, context}; }
};

// One key as the tests see it, secret included.
struct key_view {
  key_record record;
  key256 secret;
};

class keystore_service {
 public:
  explicit keystore_service(const settings& config = settings()) : config_(config) {}

  // Volume roots whose GetDriveTypeW type n has bit n set in `types` (0: every type); with
  // `populated`, only those holding a keystore.
  HRESULT drives(bool populated, std::uint32_t types, KV_paths& roots);
  HRESULT folder(const wchar_t* drive, KV_path& folder);
  // S_FALSE (and an empty path) when the drive holds no keystore.
  HRESULT index_path(const wchar_t* drive, KV_path& path);
  HRESULT drive_type(const wchar_t* drive, std::uint32_t& type);
  // Every key file with this id on every volume root and known folder drive, in KV_path order.
  HRESULT locate(const GUID& id, KV_paths& paths);

  // `protection` is a password or a certificate.
  HRESULT create_keystore(const wchar_t* drive, const credential& protection);
  // `expected` says which protection the keystore must have; a password in it must be the
  // keystore's, otherwise the custodian copy opens the keystore.
  HRESULT create_key(const wchar_t* drive, protection_kind expected, const wchar_t* password, const wchar_t* name,
                     std::uint32_t timeout, bool default_local_key);
  HRESULT delete_key(const wchar_t* drive, const GUID& id);
  HRESULT rename_key(const wchar_t* drive, const GUID& id, const wchar_t* new_name);
  HRESULT export_key(const wchar_t* drive, const GUID& id, const wchar_t* export_path, const wchar_t* export_password);
  // `opener` opens the export file: its password, the certificate of a certificate keystore it
  // came from, or nothing (the exporting account's custodian seal).
  HRESULT import_key(const wchar_t* drive, const wchar_t* import_path, const credential& opener);
  // Re-protects the keystore with `fresh` under a new keystore key; with `enforce_history`, a
  // password among the last five is refused.
  HRESULT replace_protection(const wchar_t* drive, const credential& fresh, bool enforce_history);
  HRESULT verify_password_history(const wchar_t* drive, const wchar_t* password);
  HRESULT verify_password(const wchar_t* drive, const wchar_t* password);

  // A key with its secret, opened through the custodian copy (tests and tools).
  HRESULT read_key(const wchar_t* drive, const GUID& id, key_view& key);

  struct location {
    KV_path root;    // the drive as resolved: "E:\" or a folder without a trailing backslash
    KV_path folder;  // root\DoDadev Keystore
    bool volume_root = false;
    mutable folder_holds holds;  // the folders checked so far, held until the operation ends
  };
  struct opened;

 private:
  // The drive's checked keystore folder and its index, without the lock.
  HRESULT open_index(const wchar_t* drive, opened& keystore);
  HRESULT open_for_writing(const wchar_t* drive, opened& keystore);
  // A key's record and secret, read without the writers' lock where that is safe.
  HRESULT read_secret(const wchar_t* drive, const GUID& id, opened& keystore, key_record& record, key256& keystore_key,
                      key256& secret);
  HRESULT roll_forward(opened& keystore);
  HRESULT mark_current_version(opened& keystore);
  // The keystore key through the custodian copy or, when that no longer opens, through the
  // private key of a certificate keystore's certificate in the user's "MY" store, for an index
  // that this private key signed (NTE_BAD_SIGNATURE for any other).
  HRESULT open_keystore_key(opened& keystore, key256& keystore_key);
  // A certificate index that the custodian copy vouched for is signed, where the private key is.
  HRESULT sign_if_unsigned(opened& keystore, const key256& keystore_key);
  // After the credential opened the keystore: a custodian copy that this account cannot open is
  // sealed again for it.
  HRESULT keep_custodian(opened& keystore, const key256& keystore_key);
  HRESULT store_key(opened& keystore, const key256& keystore_key, key_record& record, const key256& secret,
                    bool fresh_id);
  void remember_folder_drive(const location& where) const;
  void forget_folder_drive(const KV_path& root) const;
  HRESULT folder_drives(KV_paths& roots) const;

  settings config_;
};

}  // namespace kv::provider
