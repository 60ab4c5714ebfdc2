#pragma once
// The HRESULT flow: KV_RETURN_IF_FAILED(expr) returns the failure of expr from the enclosing
// function and goes on otherwise. The expression must be an HRESULT: a bool, an int or a Win32
// error code given by mistake is refused at compile time, because each of them would read as a
// success or a failure it is not. In a build without NDEBUG every macro a failure passes writes
// its file and line to the debugger output; the first line of such a run is where the failure
// started, found without a trace log.
#include <windows.h>

#include <type_traits>

namespace kv::detail {

template <typename T>
constexpr HRESULT hresult_only(T value) noexcept {
  static_assert(std::is_same_v<T, HRESULT>, "KV_RETURN_IF_FAILED takes an HRESULT");
  return value;
}

#ifndef NDEBUG
// Writes "file(line): failed 0x80070057" with OutputDebugStringA.
void note_failure_origin(HRESULT hr, const char* file, int line) noexcept;
#define KV_NOTE_FAILURE_ORIGIN(hr) ::kv::detail::note_failure_origin((hr), __FILE__, __LINE__)
#else
#define KV_NOTE_FAILURE_ORIGIN(hr) ((void)0)
#endif

}  // namespace kv::detail

#define KV_RETURN_IF_FAILED(expr)                                              \
  do {                                                                         \
    const HRESULT kv_returned_hr_ = ::kv::detail::hresult_only((expr));        \
    if (FAILED(kv_returned_hr_)) {                                             \
      KV_NOTE_FAILURE_ORIGIN(kv_returned_hr_);                                 \
      return kv_returned_hr_;                                                  \
    }                                                                          \
  } while (0)
