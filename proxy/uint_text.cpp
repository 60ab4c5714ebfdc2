#include "proxy/uint_text.h"

#include <wctype.h>

namespace kv {

bool scan_uint(const wchar_t* text, std::uint32_t* value) noexcept {
  if (!text || !value) return false;
  const wchar_t* p = text;
  // The runtime's own test, so that the blanks accepted are exactly those its scanf skips.
  while (*p && iswspace(*p)) ++p;
  bool negative = false;
  if (*p == L'+' || *p == L'-') {
    negative = *p == L'-';
    ++p;
  }
  if (*p < L'0' || *p > L'9') return false;
  std::uint64_t number = 0;
  for (; *p >= L'0' && *p <= L'9'; ++p) number = number * 10 + static_cast<std::uint64_t>(*p - L'0');
  if (negative) number = 0 - number;
  *value = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace kv
