#pragma once
// Small helpers shared inside the XML library.
#include <cstddef>

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

inline bool is_declaration_name(const wchar_t* name, std::size_t length) noexcept {
  return same_name(name, length, L"?xml", 4);
}

}  // namespace kvxml
