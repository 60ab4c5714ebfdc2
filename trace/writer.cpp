// The trace file: "TraceFile.kv" in the temporary folder, UTF-16LE, shared by every writer of
// the logon session under one named mutex; each line starts with "hh:mm:ss [pid] ".
#include <stdio.h>

#include <atomic>
#include <cstring>
#include <new>

#include "trace/trace.h"
#include "trace/trace_internal.h"
#include "types/kv_path.h"
#include "win/kv_mutex.h"
#include "win/owners.h"

namespace kv::trace_detail {

namespace {

constexpr wchar_t lock_name[] = L"{D3D2B267-5CBA-451a-9F2E-E236A8060636}_KVA";
constexpr wchar_t file_name[] = L"TraceFile.kv";
constexpr unsigned char byte_order_mark[] = {0xFF, 0xFE};

// The next text written by this process starts a new line and gets the line prefix.
std::atomic<bool> line_start{true};

// The session's trace mutex, owned for the lifetime of this object when it could be had within
// lock_timeout_ms. A writer that cannot have it (no mutex, or a holder that does not let go)
// writes unserialised rather than hang its caller. An abandoned mutex counts as owned.
class session_lock {
 public:
  session_lock() {
    const KV_string name = make_mutex_name(lock_name, 0);
    kv::unique_security_attributes attributes(make_open_security_attributes());
    handle_.reset(CreateMutexW(attributes.get(), TRUE, name.text()));
    const DWORD created = GetLastError();
    attributes.reset();
    if (!handle_) return;
    if (created != ERROR_ALREADY_EXISTS) {
      ownership_.reset(handle_.get());
      return;
    }
    const DWORD waited = WaitForSingleObject(handle_.get(), lock_timeout_ms);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) ownership_.reset(handle_.get());
  }
  session_lock(const session_lock&) = delete;
  session_lock& operator=(const session_lock&) = delete;

 private:
  unique_handle handle_;
  unique_mutex_ownership ownership_;  // after the handle: released before it is closed
};

bool trace_file_path(KV_path& path) {
  const DWORD needed = GetTempPathW(0, nullptr);
  if (needed == 0) return false;
  owned_text folder;
  folder.allocate(needed + 13);
  const DWORD length = GetTempPathW(needed, folder.get());
  if (length == 0 || length >= needed) return false;
  path.assign(folder.get());
  path.join(file_name);
  return true;
}

// Opens the file for appending. The file itself is opened, never what a link points to, and a
// file that is a link or has other names is refused: the text could otherwise be steered into
// a file of someone else's choosing.
unique_file open_trace_file(const wchar_t* path, bool& created) {
  unique_file file(CreateFileW(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr));
  if (!file) return file;
  created = GetLastError() != ERROR_ALREADY_EXISTS;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      info.nNumberOfLinks > 1)
    file.reset();
  return file;
}

void write_bytes(HANDLE file, const void* bytes, std::size_t size) {
  DWORD written = 0;
  WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr);
}

// Writes the text segment by segment, each ending after a line feed; a segment that begins a
// line gets the prefix first, in the same write call.
void append_text(HANDLE file, const wchar_t* text) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t prefix[64];
  const int prefix_length = _snwprintf_s(prefix, sizeof prefix / sizeof prefix[0], _TRUNCATE, L"%02d:%02d:%02d [%d] ",
                                         now.wHour, now.wMinute, now.wSecond, static_cast<int>(GetCurrentProcessId()));
  if (prefix_length < 0) return;

  const std::size_t text_length = wide_length(text);
  owned_text out;
  out.allocate(static_cast<std::size_t>(prefix_length) + text_length + 1);
  for (std::size_t start = 0; start < text_length;) {
    std::size_t end = start;
    while (end < text_length && text[end] != L'\n') ++end;
    if (end < text_length) ++end;  // the line feed belongs to its segment
    std::size_t units = 0;
    if (line_start) {
      std::memcpy(out.get(), prefix, static_cast<std::size_t>(prefix_length) * sizeof(wchar_t));
      units = static_cast<std::size_t>(prefix_length);
      line_start = false;
    }
    std::memcpy(out.get() + units, text + start, (end - start) * sizeof(wchar_t));
    units += end - start;
    write_bytes(file, out.get(), units * sizeof(wchar_t));
    line_start = text[end - 1] == L'\n';
    start = end;
  }
}

void write_text(const wchar_t* text) {
  if (!text) return;
  owned_text masked;
  masked.copy(text);
  mask_secrets(masked.get());

  const cached_switch cached = cached_verdict();
  if (cached == cached_switch::off) return;
  const session_lock lock;
  if (cached == cached_switch::unknown && !check_switch()) return;

  KV_path path;
  if (!trace_file_path(path)) return;
  bool created = false;
  const unique_file file = open_trace_file(path.text(), created);
  if (!file) return;
  if (created) {
    write_bytes(file.get(), byte_order_mark, sizeof byte_order_mark);
    line_start = true;
  }
  append_text(file.get(), masked.get());
}

}  // namespace

}  // namespace kv::trace_detail

void trace_write(const wchar_t* text) {
  kv::trace_detail::last_error_keeper keeper;
  try {
    kv::trace_detail::write_text(text);
  } catch (const std::bad_alloc&) {
  }
}
