#pragma once
// KVXML_string: the XML library's growable wide-character buffer, used for stored texts and values
// and by the parser and writer. Not the system's general string class.
//
// The buffer always holds a zero-terminated text. An empty string points at a shared constant
// empty text and owns no memory; the first character stored allocates. Nodes and attributes may
// also lend a string room inside their own block (use_storage), so short texts cost no
// allocation; a text that outgrows that room moves to the heap. Growth is geometric
// (at least 1.5x, and never below the next multiple of the step), so building a text of n
// characters copies O(n) characters in all. A request beyond INT32_MAX characters, or any failed
// allocation, throws std::bad_alloc and leaves the string as it was.
#include <cstddef>
#include <cstdint>

// Growth step in characters, for the constructor that takes one.
struct KVXML_step {
  std::int32_t units;
};

class KVXML_string {
 public:
  static constexpr std::int32_t default_step = 64;

  KVXML_string() noexcept;
  explicit KVXML_string(KVXML_step step) noexcept;
  explicit KVXML_string(const wchar_t* text);  // null or "" stays empty
  KVXML_string(const wchar_t* text, std::size_t count);
  // Takes over a heap buffer; a text in lent room is copied instead.
  KVXML_string(KVXML_string&& other);
  KVXML_string& operator=(KVXML_string&& other);
  KVXML_string(const KVXML_string&) = delete;
  KVXML_string& operator=(const KVXML_string&) = delete;
  ~KVXML_string();

  const wchar_t* text() const noexcept { return buffer_; }
  std::int32_t length() const noexcept { return length_; }
  std::int32_t capacity() const noexcept { return capacity_; }
  std::int32_t step() const noexcept { return step_; }
  bool empty() const noexcept { return length_ == 0; }

  // Room for n characters plus the terminator.
  void reserve(std::int64_t n) {
    if (n > capacity_) grow(n, true);
  }

  void clear() noexcept;
  void assign(const wchar_t* text);  // null or "" empties
  void assign(const wchar_t* text, std::size_t count);
  void assign(wchar_t c);            // the zero character empties
  void append(const wchar_t* text);  // null appends nothing
  void append(const wchar_t* text, std::size_t count);
  void append(const KVXML_string& other) { append(other.buffer_, static_cast<std::size_t>(other.length_)); }
  void append(wchar_t c) {  // the zero character appends nothing
    if (c == 0) return;
    if (length_ >= capacity_) grow(static_cast<std::int64_t>(length_) + 1, true);
    buffer_[length_++] = c;
    buffer_[length_] = 0;
  }
  void append_repeated(wchar_t c, std::int64_t count);

  // Like _wcsicmp: ASCII letters fold, everything else compares by value.
  int compare_nocase(const wchar_t* text) const noexcept;
  // `count` characters from `start`; negatives count as 0, the count is cut at the end.
  KVXML_string substring(std::int32_t start, std::int32_t count) const;
  void trim_trailing_space() noexcept;
  void decode_references() noexcept;  // character references -> characters (never lengthens)
  void encode_references();           // the five special characters -> references

  // Writable access for the library's own scanners: the characters and a new length.
  // set_length needs length <= capacity() and, for a non-zero length, capacity() > 0.
  wchar_t* data() noexcept { return buffer_; }
  void set_length(std::int32_t length) noexcept;

  // Lends a new, empty string room for `capacity` characters plus the terminator, owned by
  // someone else for at least the string's lifetime (the block of a node or an attribute).
  void use_storage(wchar_t* storage, std::int32_t capacity) noexcept;

  // Hands the buffer over as a heap text freed with free(), and leaves this string empty.
  wchar_t* detach();

  // Characters moved by reallocation since the last reset, process-wide (a measuring aid).
  static std::uint64_t copied_units() noexcept;
  static void reset_copied_units() noexcept;

 private:
  void grow(std::int64_t n, bool keep);

  std::int32_t capacity_;  // characters, not counting the terminator; 0 for the shared empty text
  std::int32_t length_;
  wchar_t* buffer_;
  std::int32_t step_;
  bool owned_;  // buffer_ is our heap block
};
