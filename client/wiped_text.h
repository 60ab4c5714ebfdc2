#pragma once
// Texts of dodadev-call that are zeroed before their memory goes back: a request can carry a
// password, and so can every text it was built from, so the client wipes all of its texts alike.
#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "types/kv_alloc.h"
#include "win/wiping_allocator.h"

namespace kv::client {

using text = std::basic_string<wchar_t, std::char_traits<wchar_t>, wiping_allocator<wchar_t>>;

// Zeroes what `value` holds in place and empties it. A short text lives inside the string object
// itself, where the allocator never sees it: a text that held a secret is wiped with this before
// it goes.
inline void wipe(text& value) noexcept {
  SecureZeroMemory(value.data(), value.capacity() * sizeof(wchar_t));
  value.clear();
}

// A text that is wiped when it goes: for a secret and the texts made from it.
class wiped_text {
 public:
  wiped_text() = default;
  wiped_text(wiped_text&& other) noexcept : value_(std::move(other.value_)) { wipe(other.value_); }
  wiped_text& operator=(wiped_text&& other) noexcept {
    if (this != &other) {
      wipe(value_);
      value_ = std::move(other.value_);
      wipe(other.value_);
    }
    return *this;
  }
  wiped_text(const wiped_text&) = delete;
  wiped_text& operator=(const wiped_text&) = delete;
  ~wiped_text() { wipe(value_); }

  text& get() noexcept { return value_; }
  const text& get() const noexcept { return value_; }
  const wchar_t* c_str() const noexcept { return value_.c_str(); }

 private:
  text value_;
};

// A BSTR zeroed over its whole length before SysFreeString: the coded form of a request is no
// encryption, so it is as secret as the request.
class wiped_bstr {
 public:
  wiped_bstr() noexcept = default;
  wiped_bstr(const wiped_bstr&) = delete;
  wiped_bstr& operator=(const wiped_bstr&) = delete;
  ~wiped_bstr() { reset(); }

  BSTR get() const noexcept { return value_; }
  BSTR* put() noexcept {
    reset();
    return &value_;
  }
  void reset() noexcept {
    if (!value_) return;
    SecureZeroMemory(value_, SysStringByteLen(value_));
    SysFreeString(std::exchange(value_, nullptr));
  }

 private:
  BSTR value_ = nullptr;
};

}  // namespace kv::client
