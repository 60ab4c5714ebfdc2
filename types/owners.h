#pragma once
// Owners for OS resources (Windows only): one template, parameterised by the close function and
// the invalid value, and an alias per resource type.
#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace kv {

template <typename T>
constexpr T null_value() noexcept {
  return T{};
}

// Owns one T; Close releases it, Invalid() is the value that owns nothing. Move-only.
// Closing never changes the thread's last-error value, so an owner going out of scope between a
// failing call and its GetLastError() does not disturb the report.
template <typename T, void (*Close)(T) noexcept, T (*Invalid)() noexcept = null_value<T>>
class unique_any {
 public:
  unique_any() noexcept = default;
  explicit unique_any(T value) noexcept : value_(value) {}
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  ~unique_any() { reset(); }

  T get() const noexcept { return value_; }
  bool is_valid() const noexcept { return value_ != Invalid(); }
  explicit operator bool() const noexcept { return is_valid(); }

  // Closes the owned value and takes `value` instead.
  void reset(T value = Invalid()) noexcept {
    T old = std::exchange(value_, value);
    if (old != Invalid()) {
      const DWORD last_error = GetLastError();
      Close(old);
      SetLastError(last_error);
    }
  }

  // Gives up ownership without closing.
  T release() noexcept { return std::exchange(value_, Invalid()); }

  // For out-parameters: closes the owned value, then answers where the callee writes the new one.
  T* put() noexcept {
    reset();
    return &value_;
  }

 private:
  T value_ = Invalid();
};

namespace close_fn {
inline void bstr(BSTR value) noexcept { SysFreeString(value); }
inline void handle(HANDLE value) noexcept { CloseHandle(value); }
inline void hkey(HKEY value) noexcept { RegCloseKey(value); }
}  // namespace close_fn

inline HANDLE invalid_handle_value() noexcept { return INVALID_HANDLE_VALUE; }

using unique_bstr = unique_any<BSTR, close_fn::bstr>;
using unique_handle = unique_any<HANDLE, close_fn::handle>;
using unique_file = unique_any<HANDLE, close_fn::handle, invalid_handle_value>;
using unique_hkey = unique_any<HKEY, close_fn::hkey>;

}  // namespace kv
