#pragma once
// The call text coding on 16-bit code units. Request and result texts cross the COM boundary
// in this form: every unit is chained to the one before it, and the top bit of each unit moves
// into a carrier character (one per 15 units, after the data), so that every coded character lies
// in U+4000..U+BFFF. The functions here work on caller buffers and never allocate.
#include <cstddef>

namespace kv {

// Chain start value, the same in both directions.
inline constexpr unsigned call_text_chain_start = 0x6E19;

// Coded length of n plain units: n + ceil(n / 15). SIZE_MAX when that does not fit, so that a
// buffer request built from it fails.
std::size_t call_text_coded_length(std::size_t n) noexcept;

// Plain length recovered from m coded units: floor(15 * m / 16), for every m without overflow.
std::size_t call_text_plain_length(std::size_t m) noexcept;

// Writes exactly call_text_coded_length(n) units to `coded` (no terminator). The buffers must
// not overlap. Zero units are coded like any other.
void encode_call_text_units(const wchar_t* plain, std::size_t n, wchar_t* coded) noexcept;

// Writes exactly call_text_plain_length(m) units to `plain` (no terminator) and reads only
// coded[0..m-1], whatever the units hold; text not made by the encoder decodes to arbitrary
// units. The buffers must not overlap.
void decode_call_text_units(const wchar_t* coded, std::size_t m, wchar_t* plain) noexcept;

}  // namespace kv
