#pragma once
// Numbers in request texts, read the way the runtime's scanf conversion "%u" reads one field.
#include <cstdint>

namespace kv {

// Leading white space (as the runtime's iswspace sees it), an optional "+" or "-", then decimal
// digits 0-9; whatever follows is ignored. The digits accumulate modulo 2^64, a "-" negates, and
// the low 32 bits are the value, so "-1" gives 4294967295 and "4294967296" gives 0, as the runtime
// answers. False, with *value untouched, when no digit follows.
bool scan_uint(const wchar_t* text, std::uint32_t* value) noexcept;

}  // namespace kv
