// Documents in files (Windows only). Files are read whole: UTF-16LE when they start with the
// byte-order mark, otherwise byte text in the code page their declaration names ("UTF-8") or
// the ANSI code page. Documents are written as UTF-16LE with the mark. The buffers here are plain
// heap blocks: when one cannot be had the operation answers 0.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>

#include "types/kv_alloc.h"
#include "win/owners.h"
#include "xml/kvxml_doc.h"
#include "xml/parser.h"

namespace {

// Zero-terminated byte text to a new wide text in the code page; false on any failure.
bool to_wide(unsigned code_page, const char* bytes, kv::wiped_mem& out) {
  int units = MultiByteToWideChar(code_page, 0, bytes, -1, nullptr, 0);
  if (units <= 0) return false;
  out = kv::wiped_mem(static_cast<std::size_t>(units) * sizeof(wchar_t));
  if (!out) return false;
  return MultiByteToWideChar(code_page, 0, bytes, -1, out.as<wchar_t>(), units) > 0;
}

}  // namespace

int KVXML_doc::load_from_file(const wchar_t* path) {
  if (!path) return 0;
  kv::unique_file file(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  return load_from_handle(file.get());
}

int KVXML_doc::load_from_handle(void* handle) {
  HANDLE file = static_cast<HANDLE>(handle);
  if (file == INVALID_HANDLE_VALUE) return 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  DWORD size = GetFileSize(file, nullptr);
  if (size == 0 || size == INVALID_FILE_SIZE) return 0;
  // Two bytes more than the file for the terminator; computed in 64 bits.
  kv::wiped_mem content(static_cast<std::size_t>(size) + 2);
  if (!content) return 0;
  DWORD read = 0;
  if (!ReadFile(file, content.get(), size, &read, nullptr)) return 0;
  auto* bytes = static_cast<unsigned char*>(content.get());
  if (read >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    auto* wide = static_cast<wchar_t*>(content.get());
    wide[read / 2] = 0;  // after the last whole code unit
    return load_from_string(wide + 1);
  }
  bytes[read] = 0;
  unsigned code_page;
  {
    kv::wiped_mem ansi;
    if (!to_wide(CP_ACP, reinterpret_cast<const char*>(bytes), ansi)) return 0;
    code_page = kvxml::detect_encoding(ansi.as<wchar_t>());
  }
  kv::wiped_mem wide;
  if (!to_wide(code_page, reinterpret_cast<const char*>(bytes), wide)) return 0;
  return load_from_string(wide.as<wchar_t>());
}

int KVXML_doc::save_to_file(const wchar_t* path) {
  if (!root_ || !path) return 0;
  kv::unique_file file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 0;
  return save_to_handle(file.get());
}

int KVXML_doc::save_to_handle(void* handle) {
  HANDLE file = static_cast<HANDLE>(handle);
  if (!root_ || file == INVALID_HANDLE_VALUE) return 0;
  KVXML_string out;
  write(out);
  // At most INT32_MAX units: the byte count fits a DWORD.
  DWORD bytes = static_cast<DWORD>(out.length()) * sizeof(wchar_t);
  DWORD written = 0;
  return WriteFile(file, out.text(), bytes, &written, nullptr) ? 1 : 0;
}
