#include "provider/keystore_files.h"

#include "provider/keystore_folder.h"
#include "provider/keystore_format.h"
#include "types/wide.h"
#include "win/kv_hresult.h"

namespace kv::provider {

namespace {

constexpr std::size_t max_file_name = 255;
// Room left for ".lukey" and ".pending" after the escaped name.
constexpr std::size_t max_escaped_name = max_file_name - 6 - 8;
constexpr DWORD replace_retry_ms = 2000;
constexpr DWORD retry_pause_ms = 20;

HRESULT write_all(HANDLE file, const byte_buffer& data) noexcept {
  std::size_t at = 0;
  while (at < data.size()) {
    const std::size_t left = data.size() - at;
    const DWORD chunk = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, data.data() + at, chunk, &written, nullptr)) return last_error();
    at += written;
  }
  return FlushFileBuffers(file) ? S_OK : last_error();
}

bool is_reserved_device(const wchar_t* name, std::size_t length) noexcept {
  std::size_t stem = 0;
  while (stem < length && name[stem] != L'.') ++stem;
  while (stem > 0 && name[stem - 1] == L' ') --stem;
  wchar_t folded[5] = {};
  if (stem < 3 || stem > 4) return false;
  for (std::size_t i = 0; i < stem; ++i) folded[i] = kv::fold_ascii(name[i]);
  if (stem == 3) {
    static const wchar_t* const devices[] = {L"con", L"prn", L"aux", L"nul"};
    for (const wchar_t* device : devices)
      if (kv::compare_nocase(folded, device) == 0) return true;
    return false;
  }
  const bool port = (folded[0] == L'c' && folded[1] == L'o' && folded[2] == L'm') ||
                    (folded[0] == L'l' && folded[1] == L'p' && folded[2] == L't');
  const wchar_t digit = folded[3];
  return port && ((digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

bool needs_escape(wchar_t c) noexcept {
  if (c < 0x20) return true;
  switch (c) {
    case L'"': case L'*': case L'/': case L':': case L'<': case L'>': case L'?': case L'\\': case L'|': case L'%':
      return true;
    default:
      return false;
  }
}

}  // namespace

void (*before_change)() = nullptr;

HRESULT last_error() noexcept {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

bool is_missing(HRESULT hr) noexcept {
  return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

void about_to_change() noexcept {
  if (before_change) before_change();
}

os_path::os_path(const wchar_t* path) noexcept : path_(path) {
  // CreateDirectoryW's limit, the lowest of the file functions'.
  constexpr std::size_t longest_plain = MAX_PATH - 12;
  if (!path || kv::wide_length(path) < longest_plain) return;
  const bool lettered = kv::is_ascii_letter(path[0]) && path[1] == L':' && path[2] == L'\\';
  const bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
  if (!lettered && !unc) return;
  try {
    extended_ = lettered ? std::wstring(L"\\\\?\\") + path : std::wstring(L"\\\\?\\UNC") + (path + 1);
  } catch (...) {
    extended_.clear();
  }
}

bool remove_file(const wchar_t* path) noexcept {
  about_to_change();
  return DeleteFileW(os_path(path).get()) != FALSE;
}

HRESULT remove_if_there(const KV_path& path) {
  if (remove_file(path.text()) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
    return S_OK;
  return last_error();
}

bool ends_with_nocase(const wchar_t* name, const wchar_t* suffix) noexcept {
  const std::size_t length = kv::wide_length(name);
  const std::size_t suffix_length = kv::wide_length(suffix);
  return length >= suffix_length && kv::equals_nocase(name + length - suffix_length, suffix);
}

bool path_exists(const wchar_t* path) noexcept {
  return GetFileAttributesW(os_path(path).get()) != INVALID_FILE_ATTRIBUTES;
}

bool same_file_name(const wchar_t* a, const wchar_t* b) noexcept {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

HRESULT file_names(const KV_path& folder, KV_paths& names, bool folders) {
  KV_path pattern(folder);
  pattern.join(L"*");
  WIN32_FIND_DATAW found;
  const kv::unique_find search(
      FindFirstFileExW(os_path(pattern.text()).get(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
  if (!search) {
    const HRESULT hr = last_error();
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
  }
  do {
    const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (is_folder == folders && !(is_folder && found.cFileName[0] == L'.')) names.emplace_back(found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES ? S_OK : last_error();
}

HRESULT read_whole_file(const wchar_t* path, std::uint32_t max_size, byte_buffer& data, file_origin origin) {
  const DWORD flags = origin == file_origin::keystore ? FILE_FLAG_OPEN_REPARSE_POINT
                                                      : SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  kv::unique_file file(CreateFileW(os_path(path).get(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | flags, nullptr));
  if (!file) return last_error();
  if (origin == file_origin::keystore && is_link_or_alias(file.get())) return E_ACCESSDENIED;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return last_error();
  if (size.QuadPart > max_size) return NTE_BAD_DATA;
  data.resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t at = 0;
  while (at < data.size()) {
    DWORD read = 0;
    if (!ReadFile(file.get(), data.data() + at, static_cast<DWORD>(data.size() - at), &read, nullptr))
      return last_error();
    if (read == 0) return NTE_BAD_DATA;  // shrank while we read it
    at += read;
  }
  return S_OK;
}

HRESULT replace_file(const wchar_t* from, const wchar_t* to) noexcept {
  about_to_change();
  const DWORD start = GetTickCount();
  const os_path source(from);
  const os_path destination(to);
  for (;;) {
    if (MoveFileExW(source.get(), destination.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return S_OK;
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        GetTickCount() - start >= replace_retry_ms)
      return HRESULT_FROM_WIN32(error);
    Sleep(retry_pause_ms);
  }
}

HRESULT write_flushed(const KV_path& target, const byte_buffer& data) {
  about_to_change();
  kv::unique_file file(
      CreateFileW(os_path(target.text()).get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return last_error();
  return write_all(file.get(), data);
}

namespace {

// "~<16 random hex digits>.tmp" in `folder`.
HRESULT temporary_in(const KV_path& folder, KV_path& temporary) {
  std::uint8_t random[8];
  KV_RETURN_IF_FAILED(random_bytes(random, sizeof random));
  wchar_t name[1 + 2 * sizeof random + 4 + 1] = {L'~'};
  static const wchar_t hex[] = L"0123456789abcdef";
  for (std::size_t i = 0; i < sizeof random; ++i) {
    name[1 + 2 * i] = hex[random[i] >> 4];
    name[2 + 2 * i] = hex[random[i] & 15];
  }
  for (std::size_t i = 0; i < 4; ++i) name[1 + 2 * sizeof random + i] = temporary_suffix[i];
  temporary = folder;
  temporary.join(name);
  return S_OK;
}

// Moves the whole temporary file to `target` (write-through), over what is there only with `replace`.
HRESULT move_into_place(const KV_path& temporary, const os_path& temporary_path, const KV_path& target,
                        bool replace) {
  if (replace) return replace_file(temporary.text(), target.text());
  about_to_change();
  if (MoveFileExW(temporary_path.get(), os_path(target.text()).get(), MOVEFILE_WRITE_THROUGH)) return S_OK;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)
                                                                    : HRESULT_FROM_WIN32(error);
}

}  // namespace

HRESULT write_atomically(const KV_path& folder, const KV_path& target, const byte_buffer& data, bool replace,
                         const interrupt_hook& interrupt) {
  KV_path temporary;
  KV_RETURN_IF_FAILED(temporary_in(folder, temporary));
  const os_path temporary_path(temporary.text());
  HRESULT hr = S_OK;
  about_to_change();
  {
    kv::unique_file file(
        CreateFileW(temporary_path.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return last_error();
    hr = write_all(file.get(), data);
  }
  if (SUCCEEDED(hr) && interrupt.at(write_step::temporary_written)) return E_ABORT;
  if (SUCCEEDED(hr)) hr = move_into_place(temporary, temporary_path, target, replace);
  if (FAILED(hr)) DeleteFileW(temporary_path.get());
  return hr;
}

HRESULT keystore_lock::acquire(const KV_path& folder, DWORD timeout_ms) {
  KV_path path(folder);
  path.join(L"keystore.lock");
  const DWORD start = GetTickCount();
  for (;;) {
    file_.reset(CreateFileW(os_path(path.text()).get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file_) {
      if (!is_link_or_alias(file_.get())) return S_OK;
      file_.reset();
      return E_ACCESSDENIED;
    }
    // Only another writer's open counts as busy; a read-only medium or folder answers at once.
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return HRESULT_FROM_WIN32(error);
    if (GetTickCount() - start >= timeout_ms) return HRESULT_FROM_WIN32(ERROR_BUSY);
    Sleep(retry_pause_ms);
  }
}

HRESULT key_file_name(const wchar_t* name, KV_string& file_name) {
  const std::size_t length = kv::wide_length(name);
  if (length == 0 || length > max_name_units) return E_INVALIDARG;
  wchar_t escaped[max_escaped_name + 6 + 1];
  std::size_t at = 0;
  const bool device = is_reserved_device(name, length);
  for (std::size_t i = 0; i < length; ++i) {
    const wchar_t c = name[i];
    if (needs_escape(c) || (device && i == 0)) {
      if (at + 3 > max_escaped_name) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
      static const wchar_t hex[] = L"0123456789ABCDEF";
      // Every character that is escaped lies below 0x100 ('C', 'P', 'A', 'N', 'L' for devices).
      escaped[at++] = L'%';
      escaped[at++] = hex[(c >> 4) & 15];
      escaped[at++] = hex[c & 15];
    } else {
      if (at + 1 > max_escaped_name) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
      escaped[at++] = c;
    }
  }
  for (const wchar_t* suffix = key_suffix; *suffix; ++suffix) escaped[at++] = *suffix;
  escaped[at] = 0;
  file_name.assign(escaped);
  return S_OK;
}

}  // namespace kv::provider
