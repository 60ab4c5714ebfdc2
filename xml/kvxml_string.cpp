#include "xml/kvxml_string.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "types/kv_alloc.h"
#include "types/wide.h"
#include "xml/kvxml_common.h"
#include "xml/parser.h"
#include "xml/writer.h"

namespace kvxml {
const wchar_t empty_text[1] = {0};
}  // namespace kvxml

namespace {

std::atomic<std::uint64_t> copied{0};

wchar_t* shared_empty() noexcept { return const_cast<wchar_t*>(kvxml::empty_text); }

// Stored texts are request texts (passwords among them): a heap buffer is zeroed, all of its
// capacity, before it goes back.
void free_wiped(wchar_t* buffer, std::int32_t capacity) noexcept {
  kv::secure_wipe(buffer, (static_cast<std::size_t>(capacity) + 1) * sizeof(wchar_t));
  kv::mem_free(buffer);
}

}  // namespace

KVXML_string::KVXML_string() noexcept
    : capacity_(0), length_(0), buffer_(shared_empty()), step_(default_step), owned_(false) {}

KVXML_string::KVXML_string(KVXML_step step) noexcept
    : capacity_(0), length_(0), buffer_(shared_empty()), step_(step.units > 0 ? step.units : default_step), owned_(false) {}

KVXML_string::KVXML_string(const wchar_t* text) : KVXML_string() { assign(text); }

KVXML_string::KVXML_string(const wchar_t* text, std::size_t count) : KVXML_string() { assign(text, count); }

KVXML_string::KVXML_string(KVXML_string&& other) : KVXML_string(KVXML_step{other.step_}) { *this = std::move(other); }

KVXML_string& KVXML_string::operator=(KVXML_string&& other) {
  if (this == &other) return *this;
  if (!other.owned_) {
    assign(other.buffer_, static_cast<std::size_t>(other.length_));
    other.clear();
    return *this;
  }
  if (owned_) free_wiped(buffer_, capacity_);
  capacity_ = other.capacity_;
  buffer_ = other.buffer_;
  step_ = other.step_;
  length_ = other.length_;
  owned_ = true;
  other.capacity_ = 0;
  other.buffer_ = shared_empty();
  other.length_ = 0;
  other.owned_ = false;
  return *this;
}

KVXML_string::~KVXML_string() {
  if (owned_) free_wiped(buffer_, capacity_);
}

void KVXML_string::use_storage(wchar_t* storage, std::int32_t capacity) noexcept {
  storage[0] = 0;
  buffer_ = storage;
  capacity_ = capacity;
  length_ = 0;
}

// New capacity: the next multiple of the step above n, but at least 1.5 times the old one, so
// that repeated appends cost linear time on any heap. Sizes are computed in 64 bits. Always a
// fresh block, never realloc, which would free a moved block without wiping it.
void KVXML_string::grow(std::int64_t n, bool keep) {
  if (n > INT32_MAX) throw std::bad_alloc();
  std::int64_t want = (n / step_ + 1) * static_cast<std::int64_t>(step_);
  std::int64_t geometric = static_cast<std::int64_t>(capacity_) + capacity_ / 2;
  if (geometric > want) want = geometric;
  if (want > INT32_MAX) want = INT32_MAX;
  std::size_t bytes = (static_cast<std::size_t>(want) + 1) * sizeof(wchar_t);
  auto* fresh = static_cast<wchar_t*>(kv::mem_alloc(bytes));
  if (!fresh) throw std::bad_alloc();
  if (keep) {
    std::memcpy(fresh, buffer_, (static_cast<std::size_t>(length_) + 1) * sizeof(wchar_t));
    copied.fetch_add(static_cast<std::uint64_t>(length_), std::memory_order_relaxed);
  } else {
    // The text is about to be replaced.
    length_ = 0;
    fresh[0] = 0;
  }
  if (owned_) free_wiped(buffer_, capacity_);
  buffer_ = fresh;
  capacity_ = static_cast<std::int32_t>(want);
  owned_ = true;
}

void KVXML_string::clear() noexcept {
  length_ = 0;
  if (capacity_) buffer_[0] = 0;
}

void KVXML_string::set_length(std::int32_t length) noexcept {
  length_ = length;
  if (capacity_) buffer_[length] = 0;
}

void KVXML_string::assign(const wchar_t* text) { assign(text, kv::wide_length(text)); }

void KVXML_string::assign(const wchar_t* text, std::size_t count) {
  if (count == 0) {
    clear();
    return;
  }
  if (count > static_cast<std::size_t>(INT32_MAX)) throw std::bad_alloc();
  std::less_equal<const wchar_t*> le;
  if (capacity_ && le(buffer_, text) && le(text, buffer_ + length_)) {
    // Part of our own text: it fits where it is.
    std::memmove(buffer_, text, count * sizeof(wchar_t));
  } else {
    if (static_cast<std::int64_t>(count) > capacity_) grow(static_cast<std::int64_t>(count), false);
    std::memcpy(buffer_, text, count * sizeof(wchar_t));
  }
  length_ = static_cast<std::int32_t>(count);
  buffer_[length_] = 0;
}

void KVXML_string::assign(wchar_t c) {
  clear();
  append(c);
}

void KVXML_string::append(const wchar_t* text) {
  if (text) append(text, kv::wide_length(text));
}

void KVXML_string::append(const wchar_t* text, std::size_t count) {
  if (count == 0) return;
  if (count > static_cast<std::size_t>(INT32_MAX)) throw std::bad_alloc();
  std::int64_t need = static_cast<std::int64_t>(length_) + static_cast<std::int64_t>(count);
  if (need > capacity_) {
    std::less_equal<const wchar_t*> le;
    bool own = capacity_ && le(buffer_, text) && le(text, buffer_ + length_);
    std::ptrdiff_t offset = own ? text - buffer_ : 0;
    grow(need, true);
    if (own) text = buffer_ + offset;
  }
  std::memcpy(buffer_ + length_, text, count * sizeof(wchar_t));
  length_ = static_cast<std::int32_t>(need);
  buffer_[length_] = 0;
}

void KVXML_string::append_repeated(wchar_t c, std::int64_t count) {
  if (count <= 0 || c == 0) return;
  if (count > INT32_MAX) throw std::bad_alloc();
  std::int64_t need = static_cast<std::int64_t>(length_) + count;
  reserve(need);
  wchar_t* out = buffer_ + length_;
  for (std::int64_t i = 0; i < count; ++i) out[i] = c;
  length_ = static_cast<std::int32_t>(need);
  buffer_[length_] = 0;
}

int KVXML_string::compare_nocase(const wchar_t* text) const noexcept { return kv::compare_nocase(buffer_, text); }

KVXML_string KVXML_string::substring(std::int32_t start, std::int32_t count) const {
  if (start < 0) start = 0;
  if (count < 0) count = 0;
  if (start >= length_) return KVXML_string();
  if (count > length_ - start) count = length_ - start;
  return KVXML_string(buffer_ + start, static_cast<std::size_t>(count));
}

void KVXML_string::trim_trailing_space() noexcept {
  std::int32_t n = length_;
  while (n > 0 && kv::is_space(buffer_[n - 1])) --n;
  if (n != length_) set_length(n);
}

void KVXML_string::decode_references() noexcept { kvxml::decode_references(*this); }

void KVXML_string::encode_references() { kvxml::encode_references(*this); }

wchar_t* KVXML_string::detach() {
  if (!owned_) {
    std::size_t bytes = (static_cast<std::size_t>(length_) + 1) * sizeof(wchar_t);
    auto* text = static_cast<wchar_t*>(kv::mem_alloc_or_throw(bytes));
    std::memcpy(text, buffer_, bytes);
    clear();
    return text;
  }
  // Give back a large unused tail; keeping the bigger block is fine if that fails.
  if (capacity_ - length_ > length_ / 4 + 64) {
    std::size_t bytes = (static_cast<std::size_t>(length_) + 1) * sizeof(wchar_t);
    if (auto* smaller = static_cast<wchar_t*>(kv::mem_alloc(bytes))) {
      std::memcpy(smaller, buffer_, bytes);
      free_wiped(buffer_, capacity_);
      buffer_ = smaller;
    }
  }
  wchar_t* text = buffer_;
  buffer_ = shared_empty();
  capacity_ = 0;
  length_ = 0;
  owned_ = false;
  return text;
}

std::uint64_t KVXML_string::copied_units() noexcept { return copied.load(std::memory_order_relaxed); }

void KVXML_string::reset_copied_units() noexcept { copied.store(0, std::memory_order_relaxed); }
