#pragma once
// KV_stringf: a KV_string built from a printf-style format (Windows runtime formatting).
// A null format, or one the runtime rejects for any reason other than room (an unknown
// conversion, a character it cannot convert, a width past INT_MAX), leaves the empty string.
// A text longer than 2^30 units throws std::bad_alloc.
#include <cstdarg>

#include "types/kv_string.h"

// Marks the constructors that take an argument list instead of variadic arguments.
struct KV_va_list_tag {};

class KV_stringf : public KV_string {
 public:
  // Narrow format, converted to UTF-16 with the ANSI code page.
  explicit KV_stringf(const char* format, ...);
  // Wide format; a null format leaves the empty string.
  explicit KV_stringf(const wchar_t* format, ...);
  KV_stringf(KV_va_list_tag, const char* format, va_list args);
  KV_stringf(KV_va_list_tag, const wchar_t* format, va_list args);
  ~KV_stringf() override;
};
