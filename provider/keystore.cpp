// The keystore's operations, each a short sequence of steps: those named here, and the pieces
// of keystore_layout.h (where the files lie), keystore_entries.h (the index, key files and links)
// and keystore_credentials.h (credentials, custodian copy and seals). The drive searches are in
// keystore_search.cpp.
#include "provider/keystore.h"

#include <cstring>
#include <utility>

#include "types/wide.h"
#include "win/kv_hresult.h"

namespace kv::provider {

namespace {

constexpr std::uint32_t max_export_size = 64 * 1024;
constexpr std::uint32_t default_local_key_flag = 1;
// A reader meets a key file of another protection than the index it read only when a change of
// protection committed between its two reads, and a change takes its writer many flushed writes:
// the next read almost always finds both of one protection. Three reads leave room for that and
// for the switch to reading as a writer; a keystore whose protection changes under every one of
// them answers NTE_BAD_DATA rather than hold the caller.
constexpr int reader_attempts = 3;
// A new id whose link is there already is drawn again, this many times at most: among random
// 122-bit ids a repeat means a broken random source, not bad luck.
constexpr int fresh_id_attempts = 8;

HRESULT new_guid(GUID& id) noexcept {
  const HRESULT hr = random_bytes(&id, sizeof id);
  // Version 4 (random) in the RFC 4122 variant.
  id.Data3 = static_cast<unsigned short>((id.Data3 & 0x0FFF) | 0x4000);
  id.Data4[0] = static_cast<unsigned char>((id.Data4[0] & 0x3F) | 0x80);
  return hr;
}

bool same_protection(const std::uint8_t (&a)[id_size], const std::uint8_t (&b)[id_size]) noexcept {
  return std::memcmp(a, b, id_size) == 0;
}

// Resolves the drive and checks and holds its keystore folder; NTE_BAD_KEYSET without an index.
HRESULT find_keystore(const wchar_t* drive, keystore_location& where) {
  KV_RETURN_IF_FAILED(resolve_drive(drive, where));
  if (!path_exists(index_file(where).text())) return NTE_BAD_KEYSET;
  return where.holds.check_and_hold(where.folder);
}

// The keystore folder made (or taken, once checked) and held, with its ids folder.
HRESULT make_keystore_folders(const keystore_location& where) {
  KV_RETURN_IF_FAILED(create_private_folder(where.folder));
  KV_RETURN_IF_FAILED(where.holds.check_and_hold(where.folder));
  return make_folder(where, ids_folder(where));
}

// A keystore is made only where none is. Key files without an index belong to a keystore whose
// index was lost; a new keystore would find them but never open them, so they must be cleared
// away (or the index restored) first.
HRESULT check_no_keystore(const keystore_location& where) {
  if (path_exists(index_file(where).text())) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  KV_paths files;
  KV_RETURN_IF_FAILED(key_folder_files(where, files));
  for (const KV_path& file : files)
    if (ends_with_nocase(file.text(), key_suffix)) return HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);
  return S_OK;
}

key_record new_record(const wchar_t* name, std::uint32_t timeout, bool default_local_key) {
  key_record record;
  record.created = file_time_now();
  record.timeout = timeout;
  record.flags = default_local_key ? default_local_key_flag : 0;
  record.name.assign(name);
  return record;
}

// ERROR_PASSWORD_RESTRICTION for a password among the last five.
HRESULT refuse_recent_password(const index_record& index, const key256& keystore_key, const credential& fresh) {
  if (fresh.type != credential::kind::password) return S_OK;
  bool used = false;
  KV_RETURN_IF_FAILED(in_history(index, keystore_key, fresh.password, used));
  return used ? HRESULT_FROM_WIN32(ERROR_PASSWORD_RESTRICTION) : S_OK;
}

// The export file's full path and its folder; E_INVALIDARG for a text that names no file.
HRESULT export_target(const wchar_t* export_path, KV_path& target, KV_path& parent) {
  if (kv::wide_length(export_path) == 0) return E_INVALIDARG;
  KV_RETURN_IF_FAILED(full_path(export_path, target));
  std::size_t slash = target.length();
  while (slash > 0 && target.text()[slash - 1] != L'\\') --slash;
  if (slash == 0 || slash == target.length()) return E_INVALIDARG;
  KV_string parent_text;
  target.left(parent_text, 0, slash);
  parent = KV_path(parent_text.text());
  return S_OK;
}

void fill_payload(const key_record& record, export_payload& payload) {
  payload.id = record.id;
  payload.created = record.created;
  payload.timeout = record.timeout;
  payload.flags = record.flags;
  payload.name = record.name;
}

key_record record_of(const export_payload& payload) {
  key_record record;
  record.id = payload.id;
  record.created = payload.created;
  record.timeout = payload.timeout;
  record.flags = payload.flags;
  record.name = payload.name;
  return record;
}

// The payload of the export file at `path`, opened by `opener`.
HRESULT read_export(const wchar_t* path, const credential& opener, export_payload& payload) {
  byte_buffer data;
  export_record file;
  KV_RETURN_IF_FAILED(read_whole_file(path, max_export_size, data, file_origin::caller));
  KV_RETURN_IF_FAILED(decode_export(data, file));
  return open_export(file, opener, payload);
}

// ERROR_ALREADY_EXISTS when the keystore holds a key with this id.
HRESULT check_id_free(const keystore_location& where, const GUID& id) {
  found_key existing;
  const HRESULT hr = find_key(where, id, existing);
  if (SUCCEEDED(hr)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  return hr == NTE_NOT_FOUND ? S_OK : hr;
}

// Under the lock, temporary and pending files are leftovers of interrupted writers. They must
// go: a pending file of an older change must never sit beside those of the one committed next.
HRESULT sweep_leftovers(const KV_paths& files) {
  for (const KV_path& file : files)
    if (is_temporary(leaf(file)) || is_pending(leaf(file))) KV_RETURN_IF_FAILED(remove_if_there(file));
  return S_OK;
}

void discard(const KV_paths& written) {
  for (const KV_path& path : written) remove_file(path.text());
}

// The key file sealed again under the new keystore key as "<file>.pending" beside it (flushed),
// listed in `written` before it is made.
HRESULT write_pending(const KV_path& key_path, const key256& old_key, const key256& new_key, const index_record& next,
                      KV_paths& written) {
  key_record record;
  key256 secret;
  byte_buffer data;
  KV_RETURN_IF_FAILED(read_key_file(key_path, record));
  KV_RETURN_IF_FAILED(open_secret(old_key, record, secret));
  std::memcpy(record.protection_id, next.protection_id, id_size);
  KV_RETURN_IF_FAILED(seal_secret(new_key, record, secret));
  KV_RETURN_IF_FAILED(encode_key(record, data));
  const KV_path pending_path = with_pending(key_path);
  written.push_back(pending_path);
  return write_flushed(pending_path, data);
}

// Every key file as a pending file of the new protection; on a failure, all that were written go.
HRESULT write_pending_keys(const KV_paths& files, const key256& old_key, const key256& new_key,
                           const index_record& next, KV_paths& written) {
  for (const KV_path& key_path : files) {
    if (!ends_with_nocase(key_path.text(), key_suffix)) continue;
    const HRESULT hr = write_pending(key_path, old_key, new_key, next, written);
    if (FAILED(hr)) {
      discard(written);
      return hr;
    }
  }
  return S_OK;
}

// The commit of a protection change: the new index in place, flagged for the roll forward. When
// it fails, the pending files go again; not when the write was stopped on purpose, as a killed
// process would leave them.
HRESULT commit_protection(const keystore_location& where, index_record& next, const KV_paths& written,
                          const interrupt_hook& interrupt) {
  next.flags = index_record::roll_forward_pending;
  const HRESULT hr = write_index(where, next, interrupt);
  if (FAILED(hr) && hr != E_ABORT) discard(written);
  return hr;
}

// A pending file of the current protection replaces its key file; one of any other protection is
// a leftover of a change that never committed.
HRESULT finish_pending(const KV_path& pending, const index_record& index) {
  key_record record;
  KV_RETURN_IF_FAILED(read_key_file(pending, record));
  if (same_protection(record.protection_id, index.protection_id))
    return replace_file(pending.text(), without_pending(pending).text());
  remove_file(pending.text());  // a failure leaves a harmless leftover for the next change
  return S_OK;
}

}  // namespace

HRESULT keystore_service::open_index(const wchar_t* drive, opened& keystore) {
  KV_RETURN_IF_FAILED(find_keystore(drive, keystore.where));
  return read_index(keystore.where, keystore.index);
}

HRESULT keystore_service::open_for_writing(const wchar_t* drive, opened& keystore) {
  KV_RETURN_IF_FAILED(find_keystore(drive, keystore.where));
  KV_RETURN_IF_FAILED(keystore.lock.acquire(keystore.where.folder, config_.lock_timeout_ms));
  KV_RETURN_IF_FAILED(read_index(keystore.where, keystore.index));
  if (keystore.index.flags & index_record::roll_forward_pending) return roll_forward(keystore);
  return S_OK;
}

HRESULT keystore_service::open_for_reading(const wchar_t* drive, bool as_writer, opened& keystore) {
  keystore.lock.release();
  if (as_writer) return open_for_writing(drive, keystore);
  KV_RETURN_IF_FAILED(open_index(drive, keystore));
  if (keystore.index.flags & index_record::roll_forward_pending) return open_for_writing(drive, keystore);
  return S_OK;
}

// An older index is written again as version 3 before this build writes a key into the per-key
// subfolders: builds before it re-protect only the keys at the top level, and every one of them
// refuses an index of a version it does not know. The protection keeps its own version, which
// its seals and custodian copy authenticate, so nothing is sealed again.
HRESULT keystore_service::mark_current_version(opened& keystore) {
  if (keystore.index.version >= index_version) return S_OK;
  keystore.index.version = index_version;
  return write_index(keystore.where, keystore.index, config_.interrupt);
}

// Readers take no lock, so they work on read-only media. A protection change caught half way is
// finished first, as a writer would; a change that commits while the key is read shows as a key
// file of another protection than the index read before it, and the read starts again.
HRESULT keystore_service::read_secret(const wchar_t* drive, const GUID& id, opened& keystore, key_record& record,
                                      key256& keystore_key, key256& secret) {
  HRESULT hr = S_OK;
  bool as_writer = false;
  for (int attempt = 0; attempt < reader_attempts; ++attempt) {
    KV_RETURN_IF_FAILED(open_for_reading(drive, as_writer, keystore));
    config_.reader.run();
    found_key key;
    KV_RETURN_IF_FAILED(find_key(keystore.where, id, key));
    record = std::move(key.record);
    if (!same_protection(record.protection_id, keystore.index.protection_id)) {
      hr = NTE_BAD_DATA;
      continue;
    }
    if (as_writer) {
      hr = open_keystore_key(keystore, config_.interrupt, keystore_key);
    } else {
      hr = open_custodian(keystore.index, keystore_key);
      // The way back through a certificate's private key seals the custodian copy again, which
      // writes the index: that is done as a writer.
      if (certificate_can_reopen(keystore.index, hr)) {
        as_writer = true;
        continue;
      }
    }
    KV_RETURN_IF_FAILED(hr);
    return open_secret(keystore_key, record, secret);
  }
  return hr;
}

// Finishes a committed protection change: every pending key file of the current protection
// replaces its key file; pending files of any other protection are leftovers of a change that
// never committed. A pending file that cannot be read or decoded may be the only copy of a key
// under the current keystore key: it stays, the flag stays and the operation fails, so that a
// later writer tries again (a scanner or backup holding the file open goes away).
HRESULT keystore_service::roll_forward(opened& keystore) {
  KV_paths files;
  KV_RETURN_IF_FAILED(key_folder_files(keystore.where, files));
  for (const KV_path& file : files)
    if (is_pending(leaf(file))) KV_RETURN_IF_FAILED(finish_pending(file, keystore.index));
  keystore.index.flags = static_cast<std::uint16_t>(keystore.index.flags & ~index_record::roll_forward_pending);
  return write_index(keystore.where, keystore.index, config_.interrupt);
}

// Writes a new key: its id link first, then the key file, so that a key file never exists without
// the link that finds it. A link left behind by a failure names no file and counts as absent.
// With `fresh_id` the key gets a new random id, drawn again should its link exist; otherwise the
// record keeps its id and replaces a link the caller found to be stale. Names that exist are
// found by the final move, which never replaces: a lookup of a name that does not exist costs a
// whole folder scan on some file systems, so none is made beforehand.
HRESULT keystore_service::store_key(opened& keystore, const key256& keystore_key, key_record& record,
                                    const key256& secret, bool fresh_id) {
  KV_string file_name;
  KV_RETURN_IF_FAILED(key_file_name(record.name.text(), file_name));
  KV_RETURN_IF_FAILED(mark_current_version(keystore));
  std::memcpy(record.protection_id, keystore.index.protection_id, id_size);
  const byte_buffer link = link_bytes(key_relative_path(file_name));

  byte_buffer data;
  HRESULT hr = S_OK;
  for (int attempt = 1;; ++attempt) {
    if (fresh_id) KV_RETURN_IF_FAILED(new_guid(record.id));
    KV_RETURN_IF_FAILED(seal_secret(keystore_key, record, secret));  // the id is sealed in
    KV_RETURN_IF_FAILED(encode_key(record, data));
    hr = write_link(keystore.where, record.id, link, !fresh_id, config_.interrupt);
    if (!fresh_id || hr != HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) || attempt == fresh_id_attempts) break;
  }
  KV_RETURN_IF_FAILED(hr);
  hr = write_new_key_file(keystore.where, file_name, data, config_.interrupt);
  if (FAILED(hr) && hr != E_ABORT) remove_file(link_file(keystore.where, record.id).text());
  return hr;
}

HRESULT keystore_service::folder(const wchar_t* drive, KV_path& folder) {
  location where;
  const HRESULT hr = resolve_drive(drive, where);
  if (SUCCEEDED(hr)) folder = where.folder;
  return hr;
}

HRESULT keystore_service::index_path(const wchar_t* drive, KV_path& path) {
  location where;
  KV_RETURN_IF_FAILED(resolve_drive(drive, where));
  KV_path index = index_file(where);
  if (!path_exists(index.text())) {
    path = KV_path();
    return S_FALSE;
  }
  path = index;
  return S_OK;
}

HRESULT keystore_service::drive_type(const wchar_t* drive, std::uint32_t& type) {
  location where;
  KV_RETURN_IF_FAILED(resolve_drive(drive, where));
  wide_buffer volume(where.root.length() + 2);
  if (!GetVolumePathNameW(where.root.text(), volume.data(), static_cast<DWORD>(volume.size()))) return last_error();
  type = GetDriveTypeW(volume.data());
  return S_OK;
}

HRESULT keystore_service::create_keystore(const wchar_t* drive, const credential& protection) {
  KV_RETURN_IF_FAILED(check_new_credential(protection));
  location where;
  KV_RETURN_IF_FAILED(resolve_drive(drive, where));
  KV_RETURN_IF_FAILED(make_keystore_folders(where));
  keystore_lock lock;
  KV_RETURN_IF_FAILED(lock.acquire(where.folder, config_.lock_timeout_ms));
  KV_RETURN_IF_FAILED(check_no_keystore(where));

  key256 keystore_key;
  index_record index;
  HRESULT hr = protect_anew(protection, config_.work_factor, nullptr, keystore_key, index);
  if (SUCCEEDED(hr)) hr = write_index(where, index, config_.interrupt, false);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  if (SUCCEEDED(hr) && !where.volume_root) remember_folder_drive(config_, where.root);
  return hr;
}

HRESULT keystore_service::create_key(const wchar_t* drive, protection_kind expected, const wchar_t* password,
                                     const wchar_t* name, std::uint32_t timeout, bool default_local_key) {
  KV_string file_name;
  HRESULT hr = key_file_name(name, file_name);
  if (SUCCEEDED(hr) && password) hr = check_password(password, false);
  KV_RETURN_IF_FAILED(hr);
  opened keystore;
  KV_RETURN_IF_FAILED(open_for_writing(drive, keystore));
  if (keystore.index.kind != expected) return NTE_BAD_KEY_STATE;
  key256 keystore_key;
  KV_RETURN_IF_FAILED(password ? open_with_credential(keystore, credential::of_password(password), config_.interrupt,
                                                      keystore_key)
                               : open_keystore_key(keystore, config_.interrupt, keystore_key));
  key_record record = new_record(name, timeout, default_local_key);
  key256 secret;
  KV_RETURN_IF_FAILED(random_bytes(secret.bytes, key_size));
  return store_key(keystore, keystore_key, record, secret, true);
}

// Every place that holds the key goes: the subfolders, and the top-level file and link of the
// earlier layout that a rename cut short may have left beside them, which would otherwise bring
// the key back under its old name.
HRESULT keystore_service::delete_key(const wchar_t* drive, const GUID& id) {
  opened keystore;
  KV_RETURN_IF_FAILED(open_for_writing(drive, keystore));
  for (int place = 0; place < 2; ++place) {
    found_key key;
    const HRESULT hr = find_key(keystore.where, id, key);
    if (place > 0 && hr == NTE_NOT_FOUND) return S_OK;
    KV_RETURN_IF_FAILED(hr);
    // The key file goes first: a link without its file counts as absent.
    if (!remove_file(key.path.text())) return last_error();
    KV_RETURN_IF_FAILED(remove_if_there(link_file(keystore.where, id, key.flat_link)));
    if (key.flat_link) return S_OK;
  }
  return S_OK;
}

HRESULT keystore_service::rename_key(const wchar_t* drive, const GUID& id, const wchar_t* new_name) {
  KV_string new_file;
  KV_RETURN_IF_FAILED(key_file_name(new_name, new_file));
  opened keystore;
  found_key old;
  KV_RETURN_IF_FAILED(open_for_writing(drive, keystore));
  KV_RETURN_IF_FAILED(find_key(keystore.where, id, old));
  if (old.record.name.equals(new_name)) return S_OK;
  byte_buffer data;
  KV_RETURN_IF_FAILED(reseal_renamed(keystore, old.record, new_name, data));
  return move_renamed(keystore, id, old, new_file, data);
}

HRESULT keystore_service::reseal_renamed(opened& keystore, key_record& record, const wchar_t* new_name,
                                         byte_buffer& data) {
  key256 keystore_key;
  key256 secret;
  KV_RETURN_IF_FAILED(open_keystore_key(keystore, config_.interrupt, keystore_key));
  KV_RETURN_IF_FAILED(open_secret(keystore_key, record, secret));
  record.name.assign(new_name);
  KV_RETURN_IF_FAILED(mark_current_version(keystore));
  KV_RETURN_IF_FAILED(seal_secret(keystore_key, record, secret));
  return encode_key(record, data);
}

HRESULT keystore_service::move_renamed(opened& keystore, const GUID& id, const found_key& old,
                                       const KV_string& new_file, const byte_buffer& data) {
  // A name that differs only in letter case keeps its file (the file system folds case).
  const KV_string new_relative = key_relative_path(new_file);
  const bool same_file = same_file_name(old.file_name.text(), new_relative.text());
  const KV_path new_path = child(keystore.where.folder, new_relative.text());
  KV_RETURN_IF_FAILED(same_file
                          ? write_atomically(parent_folder(old.path), old.path, data, true, config_.interrupt)
                          : write_new_key_file(keystore.where, new_file, data, config_.interrupt, leaf(old.path)));
  const HRESULT hr = write_link(keystore.where, id, link_bytes(new_relative), true, config_.interrupt);
  if (FAILED(hr)) {
    if (!same_file && hr != E_ABORT) remove_file(new_path.text());
    return hr;
  }
  // The key is renamed once the link names the new file: an old file that stays (held open) is
  // an orphan that the next writer wanting its name clears, and a delete of the key takes it.
  if (!same_file) remove_if_there(old.path);
  return S_OK;
}

HRESULT keystore_service::export_key(const wchar_t* drive, const GUID& id, const wchar_t* export_path,
                                     const wchar_t* export_password) {
  KV_RETURN_IF_FAILED(check_password(export_password, true));
  KV_path target;
  KV_path parent;
  KV_RETURN_IF_FAILED(export_target(export_path, target, parent));
  opened keystore;
  key_record record;
  key256 keystore_key;
  export_payload payload;
  KV_RETURN_IF_FAILED(read_secret(drive, id, keystore, record, keystore_key, payload.secret));
  fill_payload(record, payload);
  export_record file;
  byte_buffer data;
  KV_RETURN_IF_FAILED(seal_export(keystore.index, keystore_key, payload, export_password, config_.work_factor, file));
  KV_RETURN_IF_FAILED(encode_export(file, data));
  return write_atomically(parent, target, data, false, config_.interrupt);
}

// Every check (file whole, seal opens, payload intact, id and name free) comes before anything is
// written, so a refused import leaves the keystore untouched.
HRESULT keystore_service::import_key(const wchar_t* drive, const wchar_t* import_path, const credential& opener) {
  if (kv::wide_length(import_path) == 0) return E_INVALIDARG;
  KV_RETURN_IF_FAILED(check_opener(opener));
  opened keystore;
  KV_RETURN_IF_FAILED(open_for_writing(drive, keystore));
  export_payload payload;
  KV_RETURN_IF_FAILED(read_export(import_path, opener, payload));
  KV_RETURN_IF_FAILED(check_id_free(keystore.where, payload.id));
  key256 keystore_key;
  KV_RETURN_IF_FAILED(open_keystore_key(keystore, config_.interrupt, keystore_key));
  key_record record = record_of(payload);
  return store_key(keystore, keystore_key, record, payload.secret, false);
}

// Re-encrypts every key under a new keystore key: all key files are written as "<file>.pending"
// first, then the new index commits the change, then the pending files replace the key files. A
// crash before the commit leaves the old protection whole; after it, the next writer finishes the
// change (roll_forward).
HRESULT keystore_service::replace_protection(const wchar_t* drive, const credential& fresh, bool enforce_history) {
  KV_RETURN_IF_FAILED(check_new_credential(fresh));
  opened keystore;
  KV_RETURN_IF_FAILED(open_for_writing(drive, keystore));
  key256 old_key;
  KV_RETURN_IF_FAILED(open_keystore_key(keystore, config_.interrupt, old_key));
  if (enforce_history) KV_RETURN_IF_FAILED(refuse_recent_password(keystore.index, old_key, fresh));
  key256 new_key;
  index_record next;
  KV_RETURN_IF_FAILED(protect_anew(fresh, config_.work_factor, &keystore.index, new_key, next));

  KV_paths files;
  KV_RETURN_IF_FAILED(key_folder_files(keystore.where, files));
  KV_RETURN_IF_FAILED(sweep_leftovers(files));
  KV_paths written;
  KV_RETURN_IF_FAILED(write_pending_keys(files, old_key, new_key, next, written));
  KV_RETURN_IF_FAILED(commit_protection(keystore.where, next, written, config_.interrupt));
  if (config_.interrupt.at(write_step::protection_committed)) return E_ABORT;
  keystore.index = next;
  return roll_forward(keystore);
}

HRESULT keystore_service::verify_password_history(const wchar_t* drive, const wchar_t* password) {
  KV_RETURN_IF_FAILED(check_password(password, false));
  opened keystore;
  KV_RETURN_IF_FAILED(open_index(drive, keystore));
  // The history is checked under the keystore key, which the custodian copy gives.
  key256 keystore_key;
  KV_RETURN_IF_FAILED(unlock(keystore.index, credential::nothing(), keystore_key));
  return refuse_recent_password(keystore.index, keystore_key, credential::of_password(password));
}

HRESULT keystore_service::verify_password(const wchar_t* drive, const wchar_t* password) {
  KV_RETURN_IF_FAILED(check_password(password, false));
  opened keystore;
  KV_RETURN_IF_FAILED(open_index(drive, keystore));
  key256 keystore_key;
  const HRESULT hr = unlock(keystore.index, credential::of_password(password), keystore_key);
  key256 custodian_key;
  if (FAILED(hr) || SUCCEEDED(open_custodian(keystore.index, custodian_key))) return hr;
  // The password is right and the custodian copy does not open for this account: seal it again,
  // under the lock, unless the protection changed meanwhile. The answer stays S_OK either way.
  opened writer;
  if (SUCCEEDED(open_for_writing(drive, writer)) &&
      same_protection(writer.index.protection_id, keystore.index.protection_id))
    keep_custodian(writer, keystore_key, config_.interrupt);
  return S_OK;
}

HRESULT keystore_service::read_key(const wchar_t* drive, const GUID& id, key_view& key) {
  opened keystore;
  key256 keystore_key;
  return read_secret(drive, id, keystore, key.record, keystore_key, key.secret);
}

}  // namespace kv::provider
