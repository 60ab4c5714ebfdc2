#pragma once
// Pieces of the trace log shared between its files. Not for use outside trace/.
#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace kv::trace_detail {

// A text buffer of the trace log: zero-filled on allocation, wiped and freed on destruction,
// since trace texts may carry what callers consider private. Allocation throws std::bad_alloc.
class owned_text {
 public:
  owned_text() = default;
  owned_text(const owned_text&) = delete;
  owned_text& operator=(const owned_text&) = delete;
  ~owned_text() { reset(); }

  // A new zero-filled buffer of `units` code units.
  void allocate(std::size_t units);
  // A copy of `text` (null gives no buffer).
  void copy(const wchar_t* text);
  void reset() noexcept;

  wchar_t* get() const noexcept { return units_; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  wchar_t* units_ = nullptr;
  std::size_t capacity_ = 0;
};

// Keeps the thread's last-error value from entry and puts it back on exit.
class last_error_keeper {
 public:
  last_error_keeper() noexcept : saved_(GetLastError()) {}
  last_error_keeper(const last_error_keeper&) = delete;
  last_error_keeper& operator=(const last_error_keeper&) = delete;
  ~last_error_keeper() { SetLastError(saved_); }
  DWORD saved() const noexcept { return saved_; }

 private:
  DWORD saved_;
};

// format.cpp -------------------------------------------------------------------------------

// Formats with the runtime's bounded wide formatting, starting with `first_units` code units and
// doubling while the text does not fit. False when the runtime rejects the format or its
// arguments; `out` then holds whatever the runtime had written (possibly nothing).
bool format_text(owned_text& out, std::size_t first_units, const wchar_t* format, va_list args);
bool format_text(owned_text& out, std::size_t first_units, const wchar_t* format, ...);

// A copy of `text` with every '%' doubled, so that it reads as itself inside a format.
void escape_percent(owned_text& out, const wchar_t* text);

// True when the reporting function's name is qualified ("Class::method"): it carries a ':'.
bool is_qualified(const wchar_t* name) noexcept;

// The program's module base name (file name without folder and extension). False when the
// module file name cannot be read; the thread's last error then tells why.
bool module_base_name(owned_text& out);

// The name as shown in lines and error reports: the module base name and '!' in front of an
// unqualified name, or the name alone when the module name is unknown or the name qualified.
void shown_name(owned_text& out, const wchar_t* name, bool have_module, const wchar_t* module);

// reports.cpp ------------------------------------------------------------------------------

// Writes "name: [Special]Error: 0x%08x ==> system text" for `code`.
void write_error_report(const wchar_t* name, std::uint32_t code);

// mask.cpp ---------------------------------------------------------------------------------

// Replaces, in place, every code unit after each "<secret>" up to the next '<' (or the end)
// with '*'.
void mask_secrets(wchar_t* text) noexcept;

// switch.cpp -------------------------------------------------------------------------------

enum class cached_switch { off, on, unknown };

// The cached verdict while it is younger than 3000 ms, else unknown (a registry check is due).
cached_switch cached_verdict() noexcept;
// Scans the registry, caches the verdict with the current tick count and answers it.
bool check_switch();

// writer.cpp -------------------------------------------------------------------------------

// How long a writer waits for the session's trace mutex before it writes unserialised.
constexpr DWORD lock_timeout_ms = 5000;

}  // namespace kv::trace_detail
