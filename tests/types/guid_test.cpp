#include "types/kv_guid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr char zero_text[] = "{00000000-0000-0000-0000-000000000000}";

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += static_cast<char>(*text);
  return out;
}

void expect_texts(const KV_guid& guid, const char* expected) {
  EXPECT_STREQ(guid.text_narrow, expected);
  EXPECT_EQ(narrow(guid.text), expected);
}

TEST(guid_parse, follows_the_text_table) {
  struct row {
    const char* name;
    const wchar_t* text;
    const char* expected;
  };
  const row rows[] = {
      {"braced_upper", L"{01B5C31E-59A2-4194-9DCC-05F6FE00F066}", "{01B5C31E-59A2-4194-9DCC-05F6FE00F066}"},
      {"braced_lower", L"{01b5c31e-59a2-4194-9dcc-05f6fe00f066}", "{01B5C31E-59A2-4194-9DCC-05F6FE00F066}"},
      {"unbraced", L"c717315f-f58c-4dbd-82d2-92613cdca5b0", "{C717315F-F58C-4DBD-82D2-92613CDCA5B0}"},
      {"bad_digits_count_as_zero", L"{0G0000Z0-00x0-0000-0000-00000000000g}", "{00000000-0000-0000-0000-000000000000}"},
      {"bad_digit_keeps_the_others", L"{1G1111Z1-1111-1111-1111-11111111111F}", "{10111101-1111-1111-1111-11111111111F}"},
      {"wrong_separator", L"{01B5C31E-59A2-4194_9DCC-05F6FE00F066}", zero_text},
      {"separator_moved", L"{01B5C31E5-9A2-4194-9DCC-05F6FE00F066}", zero_text},
      {"missing_open_brace", L"(01B5C31E-59A2-4194-9DCC-05F6FE00F066}", zero_text},
      {"missing_close_brace", L"{01B5C31E-59A2-4194-9DCC-05F6FE00F066)", zero_text},
      {"unbraced_wrong_separator", L"c717315f-f58c-4dbd-82d2+92613cdca5b0", zero_text},
      {"one_character_short", L"{01B5C31E-59A2-4194-9DCC-05F6FE00F06}", zero_text},
      {"one_character_long", L"{01B5C31E-59A2-4194-9DCC-05F6FE00F0666}", zero_text},
      {"braces_around_36", L"{c717315f-f58c-4dbd-82d2-92613cdca5b}", zero_text},
      {"empty", L"", zero_text},
      {"null", nullptr, zero_text},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    expect_texts(KV_guid(r.text), r.expected);
  }
}

TEST(guid_text, regenerated_from_the_value_by_every_constructor) {
  KV_guid_base value{0xA1B2C3D4, 0x0E0F, 0xF00D, {0, 1, 2, 3, 0xAB, 0xCD, 0xEF, 0xFF}};
  const KV_guid from_value(value);
  expect_texts(from_value, "{A1B2C3D4-0E0F-F00D-0001-0203ABCDEFFF}");
  const KV_guid copy(from_value);
  expect_texts(copy, "{A1B2C3D4-0E0F-F00D-0001-0203ABCDEFFF}");
  KV_guid assigned;
  expect_texts(assigned, zero_text);
  assigned = copy;
  expect_texts(assigned, "{A1B2C3D4-0E0F-F00D-0001-0203ABCDEFFF}");
}

TEST(guid_text, round_trips_through_the_parser) {
  const KV_guid first(L"{c6971b38-4c39-4685-86ce-f210381e3137}");
  const KV_guid second(first.text);
  EXPECT_EQ(std::memcmp(static_cast<const KV_guid_base*>(&first), static_cast<const KV_guid_base*>(&second),
                        sizeof(KV_guid_base)),
            0);
}

#if defined(_WIN32)
TEST(guid_parse, fills_the_platform_guid_in_text_order) {
  const GUID expected = {0xC3E908A9, 0x545E, 0x4133, {0xAC, 0xE2, 0xF8, 0x8A, 0x32, 0x2B, 0x48, 0x85}};
  const KV_guid guid(L"{C3E908A9-545E-4133-ACE2-F88A322B4885}");
  const GUID* as_guid = &guid;
  EXPECT_TRUE(IsEqualGUID(*as_guid, expected));
}
#endif

}  // namespace
