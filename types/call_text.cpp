#include "types/call_text.h"

#include <cstdint>
#include <limits>

namespace kv {
namespace {

constexpr std::size_t block_units = 15;  // data units per carrier
constexpr unsigned offset = 0x4000;

inline unsigned swap_bytes(unsigned v) noexcept { return ((v >> 8) | (v << 8)) & 0xFFFFu; }

inline unsigned unit(wchar_t c) noexcept { return static_cast<std::uint16_t>(c); }

// Encoder state. The chain s[i] = swap(p[i] ^ s[i-1]) is rewritten as
// s[i] = swap(p[i]) ^ p[i-1] ^ s[i-2] (swap distributes over XOR and swap(s[i-1]) = p[i-1] ^ s[i-2]),
// which leaves one XOR per two units on the critical path instead of an XOR and a rotate per unit.
// Starting with s[-1] = chain start, s[-2] = 0 and p[-1] = swap(chain start) gives s[0] exactly.
struct encode_state {
  unsigned s1 = call_text_chain_start;               // s[i-1]
  unsigned s2 = 0;                                   // s[i-2]
  unsigned p1 = swap_bytes(call_text_chain_start);   // p[i-1]
};

// One block of `count` (<= 15) plain units; answers the carrier value.
inline unsigned encode_block(const wchar_t* plain, wchar_t* coded, std::size_t count, encode_state& st) noexcept {
  unsigned carrier = 0;
  for (std::size_t d = 0; d < count; ++d) {
    const unsigned p = unit(plain[d]);
    const unsigned s = swap_bytes(p) ^ st.p1 ^ st.s2;
    st.s2 = st.s1;
    st.s1 = s;
    st.p1 = p;
    coded[d] = static_cast<wchar_t>((s & 0x7FFFu) + offset);
    carrier |= (s >> 15) << d;
  }
  return carrier;
}

// One block of `count` (<= 15) coded units. The units are rebuilt first and unchained in a second
// loop, which has no dependency between units.
inline void decode_block(const wchar_t* coded, wchar_t* plain, std::size_t count, unsigned carrier,
                         unsigned& prev) noexcept {
  std::uint16_t s[block_units + 1];
  s[0] = static_cast<std::uint16_t>(prev);
  for (std::size_t d = 0; d < count; ++d) {
    s[d + 1] = static_cast<std::uint16_t>(((unit(coded[d]) - offset) & 0xFFFFu) | (((carrier >> d) & 1u) << 15));
  }
  for (std::size_t d = 0; d < count; ++d) plain[d] = static_cast<wchar_t>(swap_bytes(s[d + 1]) ^ s[d]);
  prev = s[count];
}

}  // namespace

std::size_t call_text_coded_length(std::size_t n) noexcept {
  constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
  const std::size_t carriers = n / block_units + (n % block_units != 0 ? 1 : 0);
  return n > largest - carriers ? largest : n + carriers;
}

std::size_t call_text_plain_length(std::size_t m) noexcept {
  return m / 16 * 15 + m % 16 * 15 / 16;
}

void encode_call_text_units(const wchar_t* plain, std::size_t n, wchar_t* coded) noexcept {
  encode_state state;
  wchar_t* carrier = coded + n;
  std::size_t i = 0;
  // Full blocks with a fixed trip count, so the compiler can unroll them.
  for (; n - i >= block_units; i += block_units) {
    *carrier++ = static_cast<wchar_t>(encode_block(plain + i, coded + i, block_units, state) + offset);
  }
  if (i < n) *carrier = static_cast<wchar_t>(encode_block(plain + i, coded + i, n - i, state) + offset);
}

void decode_call_text_units(const wchar_t* coded, std::size_t m, wchar_t* plain) noexcept {
  const std::size_t n = call_text_plain_length(m);
  unsigned prev = call_text_chain_start;
  // With n = floor(15m/16), n + ceil(n/15) <= m for every m, so each carrier lies inside; the
  // bound is kept anyway, since the coded text comes from outside.
  std::size_t carrier = n;
  std::size_t i = 0;
  for (; n - i >= block_units; i += block_units, ++carrier) {
    const unsigned bits = carrier < m ? unit(coded[carrier]) - offset : 0;
    decode_block(coded + i, plain + i, block_units, bits, prev);
  }
  if (i < n) {
    const unsigned bits = carrier < m ? unit(coded[carrier]) - offset : 0;
    decode_block(coded + i, plain + i, n - i, bits, prev);
  }
}

}  // namespace kv
