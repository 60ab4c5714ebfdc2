// The call text coding on arbitrary 16-bit units (little-endian pairs of input bytes).
//
// Checks: decoding any units reads and writes only inside its buffers (exact-size heap copies, so
// the sanitizer sees every stray access); encoding any units gives characters in U+4000..U+BFFF
// of the announced length, and decoding them gives the units back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "types/call_text.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t count = size / 2;
  std::unique_ptr<wchar_t[]> input(new wchar_t[count]);
  for (std::size_t i = 0; i < count; ++i) {
    input[i] = static_cast<wchar_t>(data[2 * i] | data[2 * i + 1] << 8);
  }

  // Arbitrary units as coded text.
  const std::size_t decoded_length = kv::call_text_plain_length(count);
  std::unique_ptr<wchar_t[]> decoded(new wchar_t[decoded_length]);
  kv::decode_call_text_units(input.get(), count, decoded.get());

  // Arbitrary units as plain text.
  const std::size_t coded_length = kv::call_text_coded_length(count);
  check(coded_length == count + (count + 14) / 15);
  std::unique_ptr<wchar_t[]> coded(new wchar_t[coded_length]);
  kv::encode_call_text_units(input.get(), count, coded.get());
  for (std::size_t i = 0; i < coded_length; ++i) {
    check(coded[i] >= 0x4000 && coded[i] <= 0xBFFF);
  }
  check(kv::call_text_plain_length(coded_length) == count);
  std::unique_ptr<wchar_t[]> plain(new wchar_t[count]);
  kv::decode_call_text_units(coded.get(), coded_length, plain.get());
  for (std::size_t i = 0; i < count; ++i) check(plain[i] == input[i]);
  return 0;
}
