#pragma once
// KV_guid: a GUID together with its braced upper-case text, in UTF-16 and in 8-bit characters.
// It derives from the platform's GUID, so &guid converts to a GUID pointer wherever one is
// expected. Both texts are regenerated from the GUID by every constructor.
#include <cstdint>

#if defined(_WIN32)
#include <guiddef.h>
using KV_guid_base = GUID;
#else
// Layout-identical to the Windows GUID.
struct KV_guid_base {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
#endif
static_assert(sizeof(KV_guid_base) == 16, "a GUID is 16 bytes");

class KV_guid : public KV_guid_base {
 public:
  static constexpr int text_units = 39;  // 38 characters and the terminator

  KV_guid();                                   // all zero
  KV_guid(const KV_guid& other);
  explicit KV_guid(const KV_guid_base& value);
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" or the same 36 characters without braces, in
  // either letter case. Any other length or separator placement, and null, give the all-zero
  // GUID; a character that is not a hex digit counts as 0. Neither is an error.
  explicit KV_guid(const wchar_t* text);
  KV_guid& operator=(const KV_guid& other);
  virtual ~KV_guid();

  wchar_t text[text_units];
  char text_narrow[text_units];

 private:
  void regenerate_text() noexcept;
};
