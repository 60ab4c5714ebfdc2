#include "proxy/trace_text.h"

#include <cstddef>
#include <new>

#include "types/kv_alloc.h"
#include "types/kv_string.h"

namespace kv {

namespace {

bool is_control(wchar_t c) noexcept { return c < 0x20 || c == 0x7F; }

}  // namespace

trace_text::trace_text(const wchar_t* text) : shown_(text ? text : L"") {
  std::size_t controls = 0;
  std::size_t length = 0;
  for (; shown_[length]; ++length) {
    if (is_control(shown_[length])) ++controls;
  }
  if (controls == 0) return;

  // Each control character grows from one unit to four ("\x0A").
  const std::size_t units = length + 3 * controls + 1;
  if (units > static_cast<std::size_t>(-1) / sizeof(wchar_t)) throw std::bad_alloc();
  escaped_ = static_cast<wchar_t*>(mem_alloc_or_throw(units * sizeof(wchar_t)));
  static const wchar_t hex[] = L"0123456789ABCDEF";
  wchar_t* out = escaped_;
  for (std::size_t i = 0; i < length; ++i) {
    const wchar_t c = shown_[i];
    if (is_control(c)) {
      *out++ = L'\\';
      *out++ = L'x';
      *out++ = hex[(c >> 4) & 0xF];
      *out++ = hex[c & 0xF];
    } else {
      *out++ = c;
    }
  }
  *out = 0;
  shown_ = escaped_;
}

trace_text::~trace_text() {
  wipe(escaped_);
  mem_free(escaped_);
}

}  // namespace kv
