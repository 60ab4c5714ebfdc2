#include "types/kv_guid.h"

#include <cstring>

#include "types/wide.h"

namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr char text_template[] = "{00000000-0000-0000-0000-000000000000}";
static_assert(sizeof text_template == KV_guid::text_units, "template and text size agree");

// Digit positions in the braced form, in the order Data1, Data2, Data3, Data4[0..7].
constexpr int braced_digit_start[] = {1, 10, 15, 20, 22, 25, 27, 29, 31, 33, 35};
constexpr int braced_digit_count[] = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};
constexpr int field_count = sizeof braced_digit_start / sizeof braced_digit_start[0];

unsigned hex_value(wchar_t c) noexcept {
  if (c >= L'0' && c <= L'9') return static_cast<unsigned>(c - L'0');
  if (c >= L'a' && c <= L'f') return static_cast<unsigned>(c - L'a' + 10);
  if (c >= L'A' && c <= L'F') return static_cast<unsigned>(c - L'A' + 10);
  return 0;
}

// `offset` is 0 for the braced form and -1 for the form without braces.
bool separators_in_place(const wchar_t* text, int offset) noexcept {
  constexpr int separators[] = {9, 14, 19, 24};
  for (int at : separators)
    if (text[at + offset] != L'-') return false;
  return offset != 0 || (text[0] == L'{' && text[37] == L'}');
}

std::uint32_t read_field(const wchar_t* text, int offset, int field) noexcept {
  std::uint32_t value = 0;
  const int start = braced_digit_start[field] + offset;
  for (int i = 0; i < braced_digit_count[field]; ++i) value = (value << 4) | hex_value(text[start + i]);
  return value;
}

}  // namespace

KV_guid::KV_guid() : KV_guid_base() { regenerate_text(); }

KV_guid::KV_guid(const KV_guid& other) : KV_guid_base(other) { regenerate_text(); }

KV_guid::KV_guid(const KV_guid_base& value) : KV_guid_base(value) { regenerate_text(); }

KV_guid::KV_guid(const wchar_t* source) : KV_guid_base() {
  const std::size_t length = kv::wide_length(source);
  const int offset = length == 38 ? 0 : length == 36 ? -1 : 1;
  if (offset != 1 && separators_in_place(source, offset)) {
    Data1 = read_field(source, offset, 0);
    Data2 = static_cast<std::uint16_t>(read_field(source, offset, 1));
    Data3 = static_cast<std::uint16_t>(read_field(source, offset, 2));
    for (int i = 0; i < 8; ++i) Data4[i] = static_cast<std::uint8_t>(read_field(source, offset, 3 + i));
  }
  regenerate_text();
}

KV_guid& KV_guid::operator=(const KV_guid& other) {
  KV_guid_base::operator=(other);
  regenerate_text();
  return *this;
}

KV_guid::~KV_guid() = default;

void KV_guid::regenerate_text() noexcept {
  std::uint32_t fields[field_count] = {Data1, Data2, Data3};
  for (int i = 0; i < 8; ++i) fields[3 + i] = Data4[i];
  std::memcpy(text_narrow, text_template, sizeof text_template);
  for (int field = 0; field < field_count; ++field) {
    std::uint32_t value = fields[field];
    const int start = braced_digit_start[field];
    for (int i = braced_digit_count[field] - 1; i >= 0; --i, value >>= 4)
      text_narrow[start + i] = hex_digits[value & 0xF];
  }
  for (int i = 0; i < text_units; ++i) text[i] = static_cast<wchar_t>(text_narrow[i]);
}
