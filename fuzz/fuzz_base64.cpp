// Base64 decoding of arbitrary text. Each input byte becomes one code unit (a zero byte ends the
// text), so that the alphabet, padding and separators are all within easy reach.
//
// Checks: decoding succeeds for encoding 0 and stays inside the buffer it returns (the sanitizer
// sees every stray access); the size follows from the filtered length and its trailing padding;
// any other encoding fails with no buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "types/kv_string.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool kept(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'+' ||
         c == L'/' || c == L'=';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::unique_ptr<wchar_t[]> text(new wchar_t[size + 1]);
  std::size_t filtered = 0;
  wchar_t last = 0;
  wchar_t before_last = 0;
  std::size_t length = 0;
  for (; length < size && data[length] != 0; ++length) {
    const wchar_t c = static_cast<wchar_t>(data[length]);
    text[length] = c;
    if (kept(c)) {
      ++filtered;
      before_last = last;
      last = c;
    }
  }
  text[length] = 0;
  const KV_string s(text.get());

  unsigned char* bytes = nullptr;
  std::uint32_t decoded_size = 0;
  check(s.decode_base64(&bytes, &decoded_size, 0));
  check(bytes != nullptr);
  std::size_t expected = filtered / 4 * 3;
  if (filtered >= 1 && last == L'=' && expected > 0) --expected;
  if (filtered >= 2 && before_last == L'=' && expected > 0) --expected;
  check(decoded_size == expected);
  unsigned sum = 0;
  for (std::uint32_t i = 0; i < decoded_size; ++i) sum += bytes[i];  // reads every byte handed out
  std::free(bytes);

  bytes = reinterpret_cast<unsigned char*>(&sum);
  check(!s.decode_base64(&bytes, &decoded_size, 1 + (size & 7)));
  check(bytes == nullptr);
  return 0;
}
