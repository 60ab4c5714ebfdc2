#include "provider/keystore_files.h"

#include "provider/keystore_folder.h"
#include "provider/keystore_format.h"
#include "types/wide.h"

namespace kv::provider {

namespace {

constexpr std::size_t max_file_name = 255;
// Room left for ".lukey" and ".pending" after the escaped name.
constexpr std::size_t max_escaped_name = max_file_name - 6 - 8;
constexpr DWORD replace_retry_ms = 2000;
constexpr DWORD retry_pause_ms = 20;

HRESULT last_error() noexcept {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

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

bool ends_with_nocase(const wchar_t* name, const wchar_t* suffix) noexcept {
  const std::size_t length = kv::wide_length(name);
  const std::size_t suffix_length = kv::wide_length(suffix);
  return length >= suffix_length && kv::equals_nocase(name + length - suffix_length, suffix);
}

bool path_exists(const wchar_t* path) noexcept {
  return GetFileAttributesW(os_path(path).get()) != INVALID_FILE_ATTRIBUTES;
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

HRESULT write_atomically(const KV_path& folder, const KV_path& target, const byte_buffer& data, bool replace,
                         const interrupt_hook& interrupt) {
  std::uint8_t random[8];
  HRESULT hr = random_bytes(random, sizeof random);
  if (FAILED(hr)) return hr;
  wchar_t name[1 + 2 * sizeof random + 4 + 1] = {L'~'};
  static const wchar_t hex[] = L"0123456789abcdef";
  for (std::size_t i = 0; i < sizeof random; ++i) {
    name[1 + 2 * i] = hex[random[i] >> 4];
    name[2 + 2 * i] = hex[random[i] & 15];
  }
  for (std::size_t i = 0; i < 4; ++i) name[1 + 2 * sizeof random + i] = temporary_suffix[i];
  KV_path temporary(folder);
  temporary.join(name);

  const os_path temporary_path(temporary.text());
  about_to_change();
  {
    kv::unique_file file(
        CreateFileW(temporary_path.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return last_error();
    hr = write_all(file.get(), data);
  }
  if (SUCCEEDED(hr) && interrupt.at(write_step::temporary_written)) return E_ABORT;
  if (SUCCEEDED(hr)) {
    if (replace) {
      hr = replace_file(temporary.text(), target.text());
    } else if (about_to_change(),
               !MoveFileExW(temporary_path.get(), os_path(target.text()).get(), MOVEFILE_WRITE_THROUGH)) {
      const DWORD error = GetLastError();
      hr = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)
                                                                      : HRESULT_FROM_WIN32(error);
    }
  }
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
