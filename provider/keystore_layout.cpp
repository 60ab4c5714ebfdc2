#include "provider/keystore_layout.h"

#include <cstring>

#include "provider/keystore_files.h"
#include "types/kv_guid.h"
#include "types/wide.h"
#include "win/kv_hresult.h"

namespace kv::provider {

namespace {

constexpr wchar_t keystore_folder_name[] = L"DoDadev Keystore";
constexpr wchar_t index_name[] = L"keystore.luidx";
constexpr wchar_t ids_folder_name[] = L"ids";
constexpr wchar_t link_suffix[] = L".luid";
// The subfolder names are this many hex digits: up to 256 subfolders each.
constexpr std::size_t shard_units = 2;

template <std::size_t N>
constexpr std::size_t units_of(const wchar_t (&)[N]) noexcept {
  return N - 1;
}

bool is_hex(wchar_t c) noexcept { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

// Drops trailing backslashes, except the one of "E:\"; E_INVALIDARG when nothing else is left.
HRESULT drop_trailing_separators(KV_path& root) {
  std::size_t kept = root.length();
  const wchar_t* text = root.text();
  while (kept > 0 && text[kept - 1] == L'\\' && !(kept == 3 && text[1] == L':')) --kept;
  if (kept == 0) return E_INVALIDARG;
  if (kept < root.length()) {
    KV_string shorter;
    root.left(shorter, 0, kept);
    root.assign(shorter);
  }
  return S_OK;
}

// The root must be a folder that is there; one this account may not see answers so.
HRESULT check_is_folder(const KV_path& root) {
  quiet_errors quiet;
  const DWORD attributes = GetFileAttributesW(os_path(root.text()).get());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_ACCESS_DENIED ? HRESULT_FROM_WIN32(error) : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  }
  return attributes & FILE_ATTRIBUTE_DIRECTORY ? S_OK : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

}  // namespace

HRESULT full_path(const wchar_t* text, KV_path& out) {
  const DWORD needed = GetFullPathNameW(text, 0, nullptr, nullptr);
  if (needed == 0) return last_error();
  wide_buffer buffer(needed + 1);
  const DWORD got = GetFullPathNameW(text, needed + 1, buffer.data(), nullptr);
  if (got == 0 || got > needed) return got == 0 ? last_error() : E_FAIL;
  out.assign(buffer.data());
  return S_OK;
}

HRESULT resolve_drive(const wchar_t* drive, keystore_location& where) {
  const std::size_t length = kv::wide_length(drive);
  if (length == 0 || length > 32767) return E_INVALIDARG;
  const bool lettered = length >= 2 && kv::is_ascii_letter(drive[0]) && drive[1] == L':' &&
                        (length == 2 || drive[2] == L'\\' || drive[2] == L'/');
  const bool unc = length > 2 && (drive[0] == L'\\' || drive[0] == L'/') && (drive[1] == L'\\' || drive[1] == L'/');
  if (!lettered && !unc) return E_INVALIDARG;
  if (length == 2) {
    const wchar_t root[] = {drive[0], L':', L'\\', 0};
    where.root.assign(root);
  } else {
    KV_RETURN_IF_FAILED(full_path(drive, where.root));
  }
  KV_RETURN_IF_FAILED(drop_trailing_separators(where.root));
  where.volume_root = where.root.length() == 3 && where.root.text()[1] == L':';
  KV_RETURN_IF_FAILED(check_is_folder(where.root));
  where.folder = child(where.root, keystore_folder_name);
  return S_OK;
}

keystore_location search_location(const KV_path& root) {
  keystore_location where;
  where.root = root;
  where.folder = child(root, keystore_folder_name);
  return where;
}

KV_path child(const KV_path& base, const wchar_t* name) {
  KV_path path(base);
  path.join(name);
  return path;
}

KV_path parent_folder(const KV_path& path) {
  std::size_t end = path.length();
  while (end > 0 && path.text()[end - 1] != L'\\') --end;
  KV_string text;
  path.left(text, 0, end > 0 ? end - 1 : 0);
  return KV_path(text.text());
}

const wchar_t* leaf(const KV_path& path) noexcept {
  const wchar_t* text = path.text();
  const wchar_t* last = text;
  for (const wchar_t* c = text; *c; ++c)
    if (*c == L'\\') last = c + 1;
  return last;
}

KV_path index_file(const keystore_location& where) { return child(where.folder, index_name); }
KV_path ids_folder(const keystore_location& where) { return child(where.folder, ids_folder_name); }
KV_path keys_folder(const keystore_location& where) { return child(where.folder, keys_folder_name); }

KV_path link_file(const keystore_location& where, const GUID& id, bool flat) {
  const KV_guid text(id);
  wchar_t name[KV_guid::text_units + 5] = {};
  std::memcpy(name, text.text, (KV_guid::text_units - 1) * sizeof(wchar_t));
  std::memcpy(name + KV_guid::text_units - 1, link_suffix, sizeof link_suffix);
  KV_path folder = ids_folder(where);
  if (!flat) {
    const wchar_t shard[shard_units + 1] = {text.text[1], text.text[2], 0};
    folder.join(shard);
  }
  return child(folder, name);
}

KV_string key_relative_path(const KV_string& file_name) {
  const int length = static_cast<int>(file_name.length());
  wide_buffer folded(file_name.length() + 1);
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, file_name.text(), length, folded.data(), length, nullptr,
                    nullptr, 0) != length)
    for (int i = 0; i < length; ++i) folded[i] = kv::fold_ascii(file_name.text()[i]);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (int i = 0; i < length; ++i) hash = (hash ^ static_cast<std::uint16_t>(folded[i])) * 16777619u;
  hash ^= hash >> 16;
  static const wchar_t hex[] = L"0123456789ABCDEF";
  const wchar_t prefix[] = {L'\\', hex[(hash >> 4) & 15], hex[hash & 15], L'\\', 0};
  KV_string relative(keys_folder_name);
  relative.append(prefix);
  relative.append(file_name.text());
  return relative;
}

bool is_key_link_text(const wchar_t* text) noexcept {
  constexpr std::size_t keys_length = units_of(keys_folder_name);
  std::size_t same = 0;  // stops at the text's end, so nothing past it is read
  while (same < keys_length && text[same] == keys_folder_name[same]) ++same;
  if (same == keys_length && text[keys_length] == L'\\' && is_hex(text[keys_length + 1]) &&
      is_hex(text[keys_length + 2]) && text[keys_length + 3] == L'\\')
    text += keys_length + 4;
  for (const wchar_t* c = text; *c; ++c)
    if (*c == L'\\' || *c == L'/' || *c == L':') return false;
  return *text != 0 && ends_with_nocase(text, key_suffix);
}

bool is_temporary(const wchar_t* name) noexcept { return name[0] == L'~' && ends_with_nocase(name, temporary_suffix); }

bool is_pending(const wchar_t* name) noexcept {
  const std::size_t length = kv::wide_length(name);
  constexpr std::size_t pending_length = units_of(pending_suffix);
  constexpr std::size_t key_length = units_of(key_suffix);
  if (length < pending_length + key_length || !ends_with_nocase(name, pending_suffix)) return false;
  wchar_t stem_end[key_length + 1] = {};
  std::memcpy(stem_end, name + length - pending_length - key_length, key_length * sizeof(wchar_t));
  return kv::equals_nocase(stem_end, key_suffix);
}

KV_path with_pending(const KV_path& key_path) {
  KV_string text(key_path.text());
  text.append(pending_suffix);
  return KV_path(text.text());
}

KV_path without_pending(const KV_path& pending_path) {
  KV_string shorter;
  pending_path.left(shorter, 0, pending_path.length() - units_of(pending_suffix));
  return KV_path(shorter.text());
}

HRESULT make_folder(const keystore_location& where, const KV_path& folder) {
  about_to_change();
  if (!CreateDirectoryW(os_path(folder.text()).get(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return last_error();
  return where.holds.check_and_hold(folder);
}

HRESULT hold_parent(const keystore_location& where, const KV_path& file) {
  const KV_path folder = parent_folder(file);
  if (!path_exists(folder.text())) return S_OK;  // the read finds nothing, as it should
  return where.holds.check_and_hold(folder);
}

}  // namespace kv::provider
