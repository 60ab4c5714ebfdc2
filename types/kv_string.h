#pragma once
// KV_string: the UTF-16 string value used everywhere in the system.
// A null string (no buffer) and an empty string ("") are different states. Every buffer that held
// text is overwritten with zeros up to its first NUL before it is replaced or freed.
// Allocation failure throws std::bad_alloc (through kv::mem_alloc_or_throw).
#include <cstddef>
#include <cstdint>

#include "types/kv_types.h"
#include "types/wide.h"

class KV_stringf;

// A Windows FILETIME as one 64-bit value: 100-ns units since 1601-01-01 UTC.
struct KV_file_time {
  std::uint64_t value;
};

class KV_string : public KV_types {
 public:
  KV_string();                                  // empty, not null
  KV_string(const wchar_t* text);               // copy; null gives a null string
  KV_string(const KV_string& other);            // copy (a KV_path copies as its text)
  explicit KV_string(const KV_string* other);   // copy; null gives a null string
  explicit KV_string(KV_file_time time);        // "YYYY-MM-DD hh:mm:ss" in UTC; null when out of range
  KV_string(KV_string&& other) noexcept;
  KV_string& operator=(const KV_string& other);
  KV_string& operator=(KV_string&& other) noexcept;
  KV_string& operator=(const wchar_t* text);
  virtual ~KV_string();

  // True when the texts differ; both null: false; exactly one null: true.
  virtual bool differs(const KV_string& other) const;

  const wchar_t* text() const noexcept { return wide_; }
  std::size_t length() const noexcept { return kv::wide_length(wide_); }
  bool is_null() const noexcept { return wide_ == nullptr; }

  // Wipes and frees the old buffer and copies the text; null leaves a null string.
  // Assigning the string's own buffer does nothing.
  void assign(const wchar_t* text);
  void assign(const KV_string& other);

  // Both null: true; exactly one null: false; else all code units up to the NUL match.
  bool equals(const wchar_t* text) const noexcept;

  // Appends when the added text is non-null (a null string counts as ""). Returns a copy of the
  // resulting text in every case.
  KV_string append(const wchar_t* text);
  KV_string append(const KV_stringf& text);  // defined with KV_stringf, in win/

  // `count` code units from `start` into target; false (target untouched) when
  // start >= length or start + count > length.
  bool left(KV_string& target, std::size_t start, std::size_t count) const;
  // The code units from `index` to the end into target; false when index >= length.
  bool mid(KV_string& target, std::size_t index) const;

  // A new zero-filled copy of the text (length + 1 units), freed by the caller with free();
  // null for a null string.
  wchar_t* duplicate() const;

  // Base64 (encoding 0 only). *bytes receives a buffer the caller frees with free(), *size its
  // size. False for a null string or an unknown encoding (*bytes is then null).
  bool decode_base64(unsigned char** bytes, std::uint32_t* size, int encoding) const;

  // Where the text pointer sits in the object; a provider reads a certificate's texts there.
  static constexpr std::size_t text_offset() noexcept;

 private:
  void replace_buffer(wchar_t* fresh) noexcept;  // wipes and frees the old buffer

  wchar_t* wide_ = nullptr;
  char* narrow_ = nullptr;  // never filled by this system; wiped and freed if present
};

// offsetof on a polymorphic class is conditionally supported; every compiler we build with gives
// the real offset, which is what a provider relies on.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
constexpr std::size_t KV_string::text_offset() noexcept { return offsetof(KV_string, wide_); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace kv {
// Overwrites the text up to its first NUL with zeros; null is ignored.
void wipe(wchar_t* text) noexcept;
void wipe(char* text) noexcept;
// Size in code units of a buffer for `length` units and a terminator; the largest size when that
// would overflow, so that the allocation fails instead of wrapping.
std::size_t buffer_units(std::size_t length) noexcept;
// A new zero-filled buffer for `length` units plus terminator, holding a bounded copy of `text`
// (length units). Throws std::bad_alloc.
wchar_t* copy_text(const wchar_t* text, std::size_t length);
}  // namespace kv
