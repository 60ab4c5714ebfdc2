#pragma once
// Small helpers shared inside the XML library.
#include <cstddef>
#include <cstring>

#include "types/wide.h"

namespace kvxml {

// The one constant empty text: empty strings point here instead of allocating.
extern const wchar_t empty_text[1];

// Case-insensitive equality of two counted texts, folding ASCII letters only (like _wcsicmp).
inline bool same_name(const wchar_t* a, std::size_t a_length, const wchar_t* b, std::size_t b_length) noexcept {
  if (a_length != b_length) return false;
  for (std::size_t i = 0; i < a_length; ++i) {
    if (a[i] != b[i] && kv::fold_ascii(a[i]) != kv::fold_ascii(b[i])) return false;
  }
  return true;
}

// Names and values are mostly a few characters, where a call to memcpy costs more than the copy.
inline void copy_units(wchar_t* to, const wchar_t* from, std::size_t count) noexcept {
  if (count > 16) {
    std::memcpy(to, from, count * sizeof(wchar_t));
    return;
  }
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) std::memcpy(to + i, from + i, 4 * sizeof(wchar_t));
  switch (count - i) {
    case 3:
      to[i + 2] = from[i + 2];
      [[fallthrough]];
    case 2:
      to[i + 1] = from[i + 1];
      [[fallthrough]];
    case 1:
      to[i] = from[i];
      break;
    default:
      break;
  }
}

inline bool is_declaration_name(const wchar_t* name, std::size_t length) noexcept {
  return same_name(name, length, L"?xml", 4);
}

}  // namespace kvxml
