#pragma once
// Wide-text helpers for the portable code. wchar_t is 16 bits in both configurations
// (Windows, and the host build with -fshort-wchar), so the C library's wide functions,
// which assume 32 bits on Linux, are never called.
#include <cstddef>

static_assert(sizeof(wchar_t) == 2, "wchar_t must be a 16-bit UTF-16 code unit (use -fshort-wchar on the host)");

namespace kv {

// Code units up to the first NUL; 0 for null.
inline std::size_t wide_length(const wchar_t* text) noexcept {
  if (!text) return 0;
  const wchar_t* end = text;
  while (*end) ++end;
  return static_cast<std::size_t>(end - text);
}

// A-Z or a-z, as a drive letter is.
inline bool is_ascii_letter(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// ASCII A-Z fold to a-z; every other code unit stays (no locale).
inline wchar_t fold_ascii(wchar_t c) noexcept {
  return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// Compares like _wcsicmp without a locale: <0, 0 or >0. Null sorts before any text.
inline int compare_nocase(const wchar_t* a, const wchar_t* b) noexcept {
  if (!a || !b) return (a ? 1 : 0) - (b ? 1 : 0);
  for (;; ++a, ++b) {
    unsigned ca = static_cast<unsigned short>(fold_ascii(*a));
    unsigned cb = static_cast<unsigned short>(fold_ascii(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

inline bool equals_nocase(const wchar_t* a, const wchar_t* b) noexcept { return compare_nocase(a, b) == 0; }

// White space as the Windows runtime's iswspace answers it (msvcrt): the C0 controls TAB to CR,
// SPACE and the Unicode space separators, but not NEXT LINE (U+0085).
inline bool is_space(wchar_t c) noexcept {
  unsigned u = static_cast<unsigned short>(c);
  if (u == 0x20 || (u >= 0x09 && u <= 0x0D)) return true;
  if (u < 0xA0) return false;
  return u == 0xA0 || u == 0x1680 || (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F ||
         u == 0x205F || u == 0x3000;
}

// The value of a decimal digit as the Windows runtime's wcstol reads it (msvcrt): ASCII digits and
// the digits 0 to 9 of the other scripts it knows (Arabic-Indic to Mongolian, and full-width);
// -1 for any other character.
inline int decimal_digit(wchar_t c) noexcept {
  static constexpr unsigned short zeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                                             0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
  const unsigned u = static_cast<unsigned short>(c);
  for (unsigned short zero : zeros) {
    if (u < zero) return -1;
    if (u <= zero + 9u) return static_cast<int>(u - zero);
  }
  return -1;
}

}  // namespace kv
