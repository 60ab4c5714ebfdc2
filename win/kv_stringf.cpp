#include "win/kv_stringf.h"

#include <windows.h>

#include <stdio.h>

#include <cstring>
#include <limits>
#include <new>

#include "types/kv_alloc.h"

namespace {

// Doubling stops here; a text that needs more fails like an allocation.
constexpr std::size_t largest_units = std::size_t{1} << 30;
constexpr std::size_t first_units = 4096;

template <typename Char>
struct scratch {
  Char* text = nullptr;
  std::size_t units = 0;
  scratch() = default;
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  ~scratch() { release(); }
  void release() noexcept {
    kv::wipe(text);
    kv::mem_free(text);
    text = nullptr;
  }
  void allocate(std::size_t count) {
    release();
    text = static_cast<Char*>(kv::mem_alloc_or_throw(count * sizeof(Char)));
    std::memset(text, 0, count * sizeof(Char));
    units = count;
  }
};

int bounded_format(char* out, std::size_t units, const char* format, va_list args) {
  return _vsnprintf_s(out, units, _TRUNCATE, format, args);
}
int bounded_format(wchar_t* out, std::size_t units, const wchar_t* format, va_list args) {
  return _vsnwprintf_s(out, units, _TRUNCATE, format, args);
}
int needed_units(const char* format, va_list args) { return _vscprintf(format, args); }
int needed_units(const wchar_t* format, va_list args) { return _vscwprintf(format, args); }

// Formats into `out`, starting at 4096 units and doubling while the text does not fit. The
// runtime answers -1 both for a text too long for the buffer and for a format or argument it
// rejects (an unknown conversion, a character it cannot convert, a width past INT_MAX); only the
// first is worth a larger buffer. The counting function tells them apart: it fails on the
// second kind, or answers a length that did fit. Such a failure answers false, with no text.
template <typename Char>
bool format_text(scratch<Char>& out, const Char* format, va_list args) {
  std::size_t units = first_units;
  for (;;) {
    out.allocate(units);
    va_list attempt;
    va_copy(attempt, args);
    const int written = bounded_format(out.text, units, format, attempt);
    va_end(attempt);
    if (written >= 0) return true;

    va_list count;
    va_copy(count, args);
    const int needed = needed_units(format, count);
    va_end(count);
    if (needed < 0 || static_cast<std::size_t>(needed) < units) return false;
    while (units <= static_cast<std::size_t>(needed)) {
      if (units >= largest_units) throw std::bad_alloc();
      units *= 2;
    }
  }
}

void format_into(KV_string& target, const char* format, va_list args) {
  if (!format) return;
  scratch<char> narrow;
  if (!format_text(narrow, format, args)) return;
  const int narrow_units = static_cast<int>(std::strlen(narrow.text));
  if (narrow_units == 0) return;
  const int wide_units = MultiByteToWideChar(CP_ACP, 0, narrow.text, narrow_units, nullptr, 0);
  if (wide_units <= 0) return;
  scratch<wchar_t> wide;
  wide.allocate(static_cast<std::size_t>(wide_units) + 1);
  if (MultiByteToWideChar(CP_ACP, 0, narrow.text, narrow_units, wide.text, wide_units) != wide_units) return;
  target.assign(wide.text);
}

void format_into(KV_string& target, const wchar_t* format, va_list args) {
  if (!format) return;
  scratch<wchar_t> wide;
  if (!format_text(wide, format, args)) return;
  target.assign(wide.text);
}

// Ends the argument list on every way out, the allocation failure included.
struct va_list_end {
  va_list& args;
  ~va_list_end() { va_end(args); }
};

}  // namespace

KV_stringf::KV_stringf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list_end end{args};
  format_into(*this, format, args);
}

KV_stringf::KV_stringf(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  va_list_end end{args};
  format_into(*this, format, args);
}

KV_stringf::KV_stringf(KV_va_list_tag, const char* format, va_list args) { format_into(*this, format, args); }

KV_stringf::KV_stringf(KV_va_list_tag, const wchar_t* format, va_list args) { format_into(*this, format, args); }

KV_stringf::~KV_stringf() = default;

// A KV_string member, defined here because only Windows builds have KV_stringf.
KV_string KV_string::append(const KV_stringf& text) { return append(text.text()); }
