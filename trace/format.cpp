// Formatting of trace texts, names, progress lines (trace_line) and reports (trace_report).
#include <stdio.h>

#include <cstring>
#include <new>

#include "trace/trace.h"
#include "trace/trace_internal.h"
#include "types/kv_alloc.h"
#include "types/kv_string.h"

namespace kv::trace_detail {

namespace {

// Limits the doubling of format buffers; a text that needs more is treated like an allocation
// failure.
constexpr std::size_t largest_units = std::size_t{1} << 30;

constexpr std::size_t line_units = 256;
constexpr std::size_t report_extra_units = 260;

}  // namespace

void owned_text::allocate(std::size_t units) {
  reset();
  units_ = static_cast<wchar_t*>(mem_alloc_or_throw(units * sizeof(wchar_t)));
  std::memset(units_, 0, units * sizeof(wchar_t));
  capacity_ = units;
}

void owned_text::copy(const wchar_t* text) {
  reset();
  if (!text) return;
  const std::size_t length = wide_length(text);
  units_ = copy_text(text, length);
  capacity_ = length + 1;
}

void owned_text::reset() noexcept {
  wipe(units_);
  mem_free(units_);
  units_ = nullptr;
  capacity_ = 0;
}

// The runtime answers -1 both for a text too long for the buffer and for a format it rejects;
// the counting function tells them apart (it fails on the second, or answers a length that fit).
bool format_text(owned_text& out, std::size_t first_units, const wchar_t* format, va_list args) {
  if (!format) return false;
  std::size_t units = first_units;
  for (;;) {
    out.allocate(units);
    va_list attempt;
    va_copy(attempt, args);
    const int written = _vsnwprintf_s(out.get(), units, _TRUNCATE, format, attempt);
    va_end(attempt);
    if (written >= 0) return true;

    va_list count;
    va_copy(count, args);
    const int needed = _vscwprintf(format, count);
    va_end(count);
    if (needed < 0 || static_cast<std::size_t>(needed) < units) return false;
    while (units <= static_cast<std::size_t>(needed)) {
      if (units >= largest_units) throw std::bad_alloc();
      units *= 2;
    }
  }
}

bool format_text(owned_text& out, std::size_t first_units, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = format_text(out, first_units, format, args);
  va_end(args);
  return ok;
}

void escape_percent(owned_text& out, const wchar_t* text) {
  std::size_t percents = 0;
  const std::size_t length = wide_length(text);
  for (std::size_t i = 0; i < length; ++i) percents += text[i] == L'%';
  out.allocate(length + percents + 1);
  wchar_t* to = out.get();
  for (std::size_t i = 0; i < length; ++i) {
    *to++ = text[i];
    if (text[i] == L'%') *to++ = L'%';
  }
}

bool is_qualified(const wchar_t* name) noexcept {
  for (; name && *name; ++name)
    if (*name == L':') return true;
  return false;
}

bool module_base_name(owned_text& out) {
  for (DWORD units = MAX_PATH;; units *= 2) {
    out.allocate(units);
    const DWORD length = GetModuleFileNameW(nullptr, out.get(), units);
    if (length == 0) return false;
    if (length < units) break;
    if (units >= 32768) return false;
  }
  wchar_t* path = out.get();
  std::size_t base = 0;
  std::size_t end = 0;
  for (std::size_t at = 0; path[at]; ++at) {
    if (path[at] == L'\\' || path[at] == L'/') base = at + 1;
    end = at + 1;
  }
  std::size_t stem_end = end;
  for (std::size_t at = base; at < end; ++at)
    if (path[at] == L'.') stem_end = at;
  std::memmove(path, path + base, (stem_end - base) * sizeof(wchar_t));
  std::memset(path + (stem_end - base), 0, (end - (stem_end - base)) * sizeof(wchar_t));
  return true;
}

void shown_name(owned_text& out, const wchar_t* name, bool have_module, const wchar_t* module) {
  if (is_qualified(name) || !have_module)
    format_text(out, line_units, L"%ls", name);
  else
    format_text(out, line_units, L"%ls!%ls", module, name);
}

}  // namespace kv::trace_detail

using namespace kv::trace_detail;

namespace {

const wchar_t* or_empty(const wchar_t* text) { return text ? text : L""; }

int process_id() { return static_cast<int>(GetCurrentProcessId()); }
int thread_id() { return static_cast<int>(GetCurrentThreadId()); }

void write_line(const wchar_t* name, int tag, const wchar_t* format, va_list args) {
  owned_text module;
  const bool have_module = module_base_name(module);
  if (!have_module) write_error_report(name, GetLastError());
  owned_text shown;
  shown_name(shown, name, have_module, module.get());

  owned_text line;
  if (!format) {
    if (!format_text(line, line_units, L"P:%4d,T:%4d %ls[%d]\n", process_id(), thread_id(), shown.get(), tag))
      return;
  } else {
    owned_text message;
    if (!format_text(message, line_units, format, args)) return;
    if (!format_text(line, line_units, L"P:%4d,T:%4d %ls[%d](%ls)\n", process_id(), thread_id(), shown.get(), tag,
                     message.get()))
      return;
  }
  trace_write(line.get());
}

void write_report(const wchar_t* name, const wchar_t* format, va_list args) {
  // The head becomes the format for the caller's arguments: only the caller's own format may
  // contribute conversions, so the names in it are escaped.
  owned_text escaped_name;
  escape_percent(escaped_name, name);
  const std::size_t first_units = kv::wide_length(format) + kv::wide_length(name) + report_extra_units;
  owned_text head;
  bool formatted;
  if (is_qualified(name)) {
    formatted = format_text(head, first_units, L"P:%4d,T:%4d %ls: %ls", process_id(), thread_id(),
                            escaped_name.get(), format);
  } else {
    owned_text module;
    const bool have_module = module_base_name(module);
    owned_text escaped_module;
    escape_percent(escaped_module, have_module ? module.get() : L"");
    formatted = format_text(head, first_units, L"P:%4d,T:%4d %ls!%ls: %ls", process_id(), thread_id(),
                            escaped_module.get(), escaped_name.get(), format);
  }
  if (!formatted) return;
  owned_text text;
  format_text(text, first_units, head.get(), args);
  trace_write(text.get());
}

}  // namespace

void trace_line(const wchar_t* name, int tag, const wchar_t* format, ...) {
  last_error_keeper keeper;
  va_list args;
  va_start(args, format);
  try {
    write_line(or_empty(name), tag, format, args);
  } catch (const std::bad_alloc&) {
  }
  va_end(args);
}

void trace_report(const wchar_t* name, const wchar_t* format, ...) {
  last_error_keeper keeper;
  va_list args;
  va_start(args, format);
  try {
    write_report(or_empty(name), or_empty(format), args);
  } catch (const std::bad_alloc&) {
  }
  va_end(args);
}
