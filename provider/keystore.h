#pragma once
// The file keystore behind the provider's COM object: one keystore per drive (a volume root such
// as "E:\" or any folder), in the folder "DoDadev Keystore" there. docs/provider.md describes the
// files, the protection scheme and every failure code; the summary:
//
//   keystore.luidx          the index: how the keystore is protected, the keystore key under the
//                           credential and under DPAPI (the custodian copy), the password history
//   keys\XX\<name>.lukey    one file per key: id, name, timeout, flags, creation time and the
//                           key's 32-byte secret under the keystore key (AES-256-GCM); XX: two hex
//                           digits of a hash of the file name
//   ids\YY\{GUID}.luid      the key file's path below the keystore folder, for lookup by id
//                           without a scan; YY: the GUID text's first two hex digits
//   keystore.lock           held open exclusively by whoever writes
//
// Keystores written before the subfolders keep "<name>.lukey" and "ids\{GUID}.luid" at the top;
// readers find keys there too, and a rename moves them into the subfolders.
//
// keystore.cpp holds the operations, keystore_search.cpp the drive searches (drives, locate).
// The pieces they share: keystore_layout.h (where the files lie), keystore_entries.h (the index,
// key files and links as files), keystore_credentials.h (credentials, custodian copy, seals) and
// keystore_search.h (folder drives and slow drives). Every method answers an HRESULT and never
// throws except std::bad_alloc.
#include <windows.h>

#include <cstdint>

#include "provider/keystore_credentials.h"
#include "provider/keystore_entries.h"
#include "provider/keystore_files.h"
#include "provider/keystore_format.h"
#include "provider/keystore_layout.h"
#include "provider/keystore_search.h"
#include "types/kv_path.h"
#include "types/kv_paths.h"

namespace kv::provider {

// PBKDF2 iterations for new passwords, history entries and export seals.
constexpr std::uint32_t production_work_factor = 600000;

// Test seam of the lock-free reader: `between_reads`, when set, runs each time the reader has
// read the index and is about to read the key file, where another process's change of
// protection may fall. Null never runs.
struct reader_hook {
  void (*between_reads)(void* context) = nullptr;
  void* context = nullptr;
  void run() const {
    if (between_reads) between_reads(context);
  }
};

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
  // The drives that searches pass over after a slow probe: the cache of the process, shared by
  // every provider object in it, unless a test gives its own. Never null.
  slow_drive_cache* slow_drives = &slow_drive_cache::process_wide();
  interrupt_hook interrupt;
  reader_hook reader;
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

 private:
  using location = keystore_location;
  using opened = opened_keystore;

  // The drive's checked keystore folder and its index, without the lock.
  HRESULT open_index(const wchar_t* drive, opened& keystore);
  HRESULT open_for_writing(const wchar_t* drive, opened& keystore);
  // The index for a reader: as a writer (locked, a protection change left half done finished)
  // when `as_writer` or when the index says that such a change waits.
  HRESULT open_for_reading(const wchar_t* drive, bool as_writer, opened& keystore);
  // A key's record and secret, read without the writers' lock where that is safe.
  HRESULT read_secret(const wchar_t* drive, const GUID& id, opened& keystore, key_record& record, key256& keystore_key,
                      key256& secret);
  HRESULT roll_forward(opened& keystore);
  HRESULT mark_current_version(opened& keystore);
  HRESULT store_key(opened& keystore, const key256& keystore_key, key_record& record, const key256& secret,
                    bool fresh_id);
  // The steps of a rename: the record sealed again under its new name into `data`, then the
  // key's file and link moved to the new name's.
  HRESULT reseal_renamed(opened& keystore, key_record& record, const wchar_t* new_name, byte_buffer& data);
  HRESULT move_renamed(opened& keystore, const GUID& id, const found_key& old, const KV_string& new_file,
                       const byte_buffer& data);

  settings config_;
};

}  // namespace kv::provider
