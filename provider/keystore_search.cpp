#include "provider/keystore_search.h"

#include "provider/keystore.h"
#include "types/wide.h"
#include "win/kv_hresult.h"
#include "win/owners.h"

namespace kv::provider {

namespace {

constexpr wchar_t folders_subkey[] = L"\\Folders";

KV_string folders_key(const settings& config) {
  KV_string key(config.registry_key);
  key.append(folders_subkey);
  return key;
}

HRESULT list_volume_roots(const settings& config, KV_paths& roots) {
  if (config.volume_roots) return config.volume_roots(roots);
  const DWORD needed = GetLogicalDriveStringsW(0, nullptr);
  if (needed == 0) return last_error();
  wide_buffer buffer(needed + 1);
  const DWORD got = GetLogicalDriveStringsW(needed, buffer.data());
  if (got == 0 || got > needed) return got == 0 ? last_error() : E_FAIL;
  buffer[got] = 0;
  KV_paths found(buffer.data());
  roots.splice(roots.end(), found);
  return S_OK;
}

// Appends the folder drives that the registry remembers.
HRESULT list_folder_drives(const settings& config, KV_paths& roots) {
  kv::unique_hkey folders;
  const LONG status =
      RegOpenKeyExW(config.registry_root, folders_key(config).text(), 0, KEY_QUERY_VALUE, folders.put());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  wide_buffer name(16384);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG result = RegEnumValueW(folders.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return S_OK;
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    if (length > 0) roots.emplace_back(name.data());
  }
}

void forget_folder_drive(const settings& config, const KV_path& root) {
  kv::unique_hkey folders;
  if (RegOpenKeyExW(config.registry_root, folders_key(config).text(), 0, KEY_SET_VALUE, folders.put()) ==
      ERROR_SUCCESS)
    RegDeleteValueW(folders.get(), root.text());
}

bool has_type(const KV_path& root, std::uint32_t types) {
  const UINT type = GetDriveTypeW(root.text());
  return types == 0 || (type < 32 && (types & (1u << type)));
}

// Whether the root holds a keystore index; a drive whose probe was slow lately counts as none.
bool holds_keystore(slow_drive_cache& slow_drives, const KV_path& root) {
  if (slow_drives.skipped(root)) return false;
  const ULONGLONG started = slow_drives.now();
  if (path_exists(index_file(search_location(root)).text())) return true;
  slow_drives.missed(root, started);
  return false;
}

// Adds the key file with this id on one drive to `found`. A drive that cannot be read or holds a
// damaged file simply contributes nothing.
void search_drive(const settings& config, const KV_path& root, bool folder_drive, const GUID& id, KV_paths& found) {
  const keystore_location where = search_location(root);
  const ULONGLONG started = config.slow_drives->now();
  found_key key;
  // A search only names files, so it refuses links but leaves the access list to the operation
  // that then opens the keystore (reading it back costs more than the search itself on Wine).
  if (SUCCEEDED(find_key(where, id, key)) &&
      !(GetFileAttributesW(os_path(where.folder.text()).get()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
    found.push_back(key.path);
    return;
  }
  if (config.slow_drives->missed(root, started)) return;
  // A folder drive that is there but holds no keystore any more is forgotten; one that is not
  // there may be on a medium that comes back.
  if (folder_drive && path_exists(root.text()) && !path_exists(index_file(where).text()))
    forget_folder_drive(config, root);
}

}  // namespace

ULONGLONG tick_count_ms() noexcept { return GetTickCount64(); }

slow_drive_cache& slow_drive_cache::process_wide() {
  static slow_drive_cache drives;
  return drives;
}

bool slow_drive_cache::skipped(const KV_path& root) {
  const ULONGLONG now = clock_();
  AcquireSRWLockShared(&lock_);
  const auto found = failed_.find(root.text());
  const bool skip = found != failed_.end() && now - found->second < skip_ms;
  ReleaseSRWLockShared(&lock_);
  return skip;
}

bool slow_drive_cache::missed(const KV_path& root, ULONGLONG started) {
  if (clock_() - started < slow_ms) return false;
  AcquireSRWLockExclusive(&lock_);
  try {
    failed_[root.text()] = clock_();
  } catch (...) {
    // Without memory the drive is just probed again next time.
  }
  ReleaseSRWLockExclusive(&lock_);
  return true;
}

void remember_folder_drive(const settings& config, const KV_path& root) {
  kv::unique_hkey folders;
  if (RegCreateKeyExW(config.registry_root, folders_key(config).text(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      folders.put(), nullptr) != ERROR_SUCCESS)
    return;
  const wchar_t empty[] = L"";
  RegSetValueExW(folders.get(), root.text(), 0, REG_SZ, reinterpret_cast<const BYTE*>(empty), sizeof empty);
}

HRESULT keystore_service::drives(bool populated, std::uint32_t types, KV_paths& roots) {
  KV_paths all;
  KV_RETURN_IF_FAILED(list_volume_roots(config_, all));
  quiet_errors quiet;
  for (const KV_path& root : all) {
    if (!has_type(root, types)) continue;
    if (populated && !holds_keystore(*config_.slow_drives, root)) continue;
    roots.push_back(root);
  }
  return S_OK;
}

HRESULT keystore_service::locate(const GUID& id, KV_paths& paths) {
  KV_paths roots;
  KV_RETURN_IF_FAILED(list_volume_roots(config_, roots));
  const std::size_t volume_roots = roots.size();
  KV_RETURN_IF_FAILED(list_folder_drives(config_, roots));
  KV_paths found;
  quiet_errors quiet;
  std::size_t at = 0;
  for (const KV_path& root : roots) {
    const bool folder_drive = at++ >= volume_roots;
    if (!config_.slow_drives->skipped(root)) search_drive(config_, root, folder_drive, id, found);
  }
  found.sort([](const KV_path& a, const KV_path& b) { return a.precedes(b); });
  found.unique([](const KV_path& a, const KV_path& b) { return kv::equals_nocase(a.text(), b.text()); });
  paths.splice(paths.end(), found);
  return S_OK;
}

}  // namespace kv::provider
