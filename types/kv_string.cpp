#include "types/kv_string.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "types/kv_alloc.h"

namespace kv {

void wipe(wchar_t* text) noexcept {
  if (text) secure_wipe(text, wide_length(text) * sizeof(wchar_t));
}

void wipe(char* text) noexcept {
  if (text) secure_wipe(text, std::strlen(text));
}

std::size_t buffer_units(std::size_t length) noexcept {
  constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
  return length >= largest / sizeof(wchar_t) ? largest : length + 1;
}

wchar_t* copy_text(const wchar_t* text, std::size_t length) {
  const std::size_t units = buffer_units(length);
  // buffer_units saturates before units * sizeof(wchar_t) can wrap; a saturated request fails.
  const std::size_t bytes =
      units == std::numeric_limits<std::size_t>::max() ? units : units * sizeof(wchar_t);
  auto* buffer = static_cast<wchar_t*>(mem_alloc_or_throw(bytes));
  std::memset(buffer, 0, bytes);
  if (text && length) std::memcpy(buffer, text, length * sizeof(wchar_t));
  return buffer;
}

}  // namespace kv

namespace {

// Owns a temporary text buffer; wipes and frees it on every way out.
struct scratch_text {
  wchar_t* units;
  explicit scratch_text(wchar_t* buffer) noexcept : units(buffer) {}
  scratch_text(const scratch_text&) = delete;
  scratch_text& operator=(const scratch_text&) = delete;
  ~scratch_text() {
    kv::wipe(units);
    kv::mem_free(units);
  }
};

// Writes `value` in decimal with at least `digits` digits; answers the position after it.
wchar_t* put_decimal(wchar_t* out, unsigned long long value, int digits) noexcept {
  wchar_t reversed[24];
  int count = 0;
  do {
    reversed[count++] = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < digits) reversed[count++] = L'0';
  while (count > 0) *out++ = reversed[--count];
  return out;
}

// Civil date of a day count since 1601-01-01 (proleptic Gregorian). 1601 opens a 400-year cycle,
// so the count is shifted to start on a 1 March and the usual era arithmetic applies.
void civil_from_days(std::uint64_t days, std::uint64_t& year, unsigned& month, unsigned& day) noexcept {
  constexpr std::uint64_t days_1600_03_01_to_1601_01_01 = 306;
  const std::uint64_t z = days + days_1600_03_01_to_1601_01_01;
  const std::uint64_t era = z / 146097;
  const std::uint64_t doe = z - era * 146097;                                 // [0, 146096]
  const std::uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);          // [0, 365]
  const std::uint64_t mp = (5 * doy + 2) / 153;                               // [0, 11], March = 0
  day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  year = 1600 + era * 400 + yoe + (month <= 2 ? 1 : 0);
}

int base64_value(wchar_t c) noexcept {
  if (c >= L'A' && c <= L'Z') return c - L'A';
  if (c >= L'a' && c <= L'z') return c - L'a' + 26;
  if (c >= L'0' && c <= L'9') return c - L'0' + 52;
  if (c == L'+') return 62;
  if (c == L'/') return 63;
  return -1;
}

}  // namespace

KV_string::KV_string() : wide_(kv::copy_text(nullptr, 0)) {}

KV_string::KV_string(const wchar_t* text) {
  if (text) wide_ = kv::copy_text(text, kv::wide_length(text));
}

KV_string::KV_string(const KV_string& other) : KV_types() {
  if (other.wide_) wide_ = kv::copy_text(other.wide_, other.length());
}

KV_string::KV_string(const KV_string* other) {
  if (other && other->wide_) wide_ = kv::copy_text(other->wide_, other->length());
}

KV_string::KV_string(KV_file_time time) {
  // Values with the top bit set are refused, as the system's own conversion refuses them.
  if (time.value >> 63) return;
  const std::uint64_t seconds = time.value / 10'000'000;
  const std::uint64_t second_of_day = seconds % 86400;
  std::uint64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_days(seconds / 86400, year, month, day);

  wchar_t text[32];
  wchar_t* out = put_decimal(text, year, 4);
  *out++ = L'-';
  out = put_decimal(out, month, 2);
  *out++ = L'-';
  out = put_decimal(out, day, 2);
  *out++ = L' ';
  out = put_decimal(out, second_of_day / 3600, 2);
  *out++ = L':';
  out = put_decimal(out, second_of_day / 60 % 60, 2);
  *out++ = L':';
  out = put_decimal(out, second_of_day % 60, 2);
  wide_ = kv::copy_text(text, static_cast<std::size_t>(out - text));
}

KV_string::KV_string(KV_string&& other) noexcept : KV_types(), wide_(other.wide_), narrow_(other.narrow_) {
  other.wide_ = nullptr;
  other.narrow_ = nullptr;
}

KV_string& KV_string::operator=(const KV_string& other) {
  assign(other);
  return *this;
}

KV_string& KV_string::operator=(KV_string&& other) noexcept {
  if (this != &other) {
    replace_buffer(other.wide_);
    other.wide_ = nullptr;
  }
  return *this;
}

KV_string& KV_string::operator=(const wchar_t* text) {
  assign(text);
  return *this;
}

KV_string::~KV_string() {
  replace_buffer(nullptr);
  kv::wipe(narrow_);
  kv::mem_free(narrow_);
}

bool KV_string::differs(const KV_string& other) const { return !equals(other.wide_); }

void KV_string::replace_buffer(wchar_t* fresh) noexcept {
  kv::wipe(wide_);
  kv::mem_free(wide_);
  wide_ = fresh;
}

void KV_string::assign(const wchar_t* text) {
  if (text == wide_) return;
  // Copy before releasing: the text may lie inside the current buffer.
  replace_buffer(text ? kv::copy_text(text, kv::wide_length(text)) : nullptr);
}

void KV_string::assign(const KV_string& other) {
  if (&other == this) return;
  assign(other.wide_);
}

bool KV_string::equals(const wchar_t* text) const noexcept {
  if (!wide_ || !text) return !wide_ && !text;
  const wchar_t* a = wide_;
  const wchar_t* b = text;
  for (;; ++a, ++b) {
    if (*a != *b) return false;
    if (*a == 0) return true;
  }
}

KV_string KV_string::append(const wchar_t* text) {
  if (text) {
    const std::size_t current = length();
    const std::size_t added = kv::wide_length(text);
    constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
    // An impossible total asks for the largest buffer, which fails before anything is copied.
    scratch_text joined(kv::copy_text(nullptr, added > largest - current ? largest : current + added));
    if (current) std::memcpy(joined.units, wide_, current * sizeof(wchar_t));
    if (added) std::memcpy(joined.units + current, text, added * sizeof(wchar_t));
    assign(joined.units);
  }
  return KV_string(*this);
}


bool KV_string::left(KV_string& target, std::size_t start, std::size_t count) const {
  const std::size_t size = length();
  if (start >= size || count > size - start) return false;
  target.replace_buffer(kv::copy_text(wide_ + start, count));
  return true;
}

bool KV_string::mid(KV_string& target, std::size_t index) const {
  const std::size_t size = length();
  if (index >= size) return false;
  target.replace_buffer(kv::copy_text(wide_ + index, size - index));
  return true;
}

wchar_t* KV_string::duplicate() const {
  if (!wide_) return nullptr;
  return kv::copy_text(wide_, length());
}

bool KV_string::decode_base64(unsigned char** bytes, std::uint32_t* size, int encoding) const {
  if (bytes) *bytes = nullptr;
  if (!bytes || !size) return false;
  *size = 0;
  if (!wide_ || encoding != 0) return false;

  const std::size_t text_length = length();
  scratch_text filtered(kv::copy_text(nullptr, text_length));
  std::size_t count = 0;
  for (const wchar_t* c = wide_; *c; ++c) {
    if (*c == L'=' || base64_value(*c) >= 0) filtered.units[count++] = *c;
  }

  std::size_t total = count / 4 * 3;
  if (count >= 1 && filtered.units[count - 1] == L'=' && total > 0) --total;
  if (count >= 2 && filtered.units[count - 2] == L'=' && total > 0) --total;
  if (total > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();

  auto* out = static_cast<unsigned char*>(kv::mem_alloc_or_throw(total));
  std::memset(out, 0, total);
  // Malformed input (padding inside, a short tail) can decode to more bytes than the size
  // computed above; every write is bounded by that size.
  std::size_t written = 0;
  for (std::size_t group = 0; group + 4 <= count; group += 4) {
    std::uint32_t joined = 0;
    int valid = 0;
    while (valid < 4 && filtered.units[group + valid] != L'=') {
      joined = (joined << 6) | static_cast<std::uint32_t>(base64_value(filtered.units[group + valid]));
      ++valid;
    }
    if (valid < 2) continue;
    joined <<= 6 * (4 - valid);
    for (int b = 0; b < valid - 1 && written < total; ++b) {
      out[written++] = static_cast<unsigned char>(joined >> (16 - 8 * b));
    }
  }
  *bytes = out;
  *size = static_cast<std::uint32_t>(total);
  return true;
}
