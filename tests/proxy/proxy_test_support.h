#pragma once
// Helpers of the proxy tests: files beside the test program, COM for one test, and a reference
// owner for COM interfaces.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <utility>

#include "tests/support/beside_program.h"

namespace proxy_test {

// The per-machine class key of the keystore provider, which recording_provider.dll writes.
inline constexpr wchar_t provider_class_key[] = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";

// Files that the build copies beside the test program (DoDadev.tlb, recording_provider.dll).
using kv::test::beside_program;

// COM initialised as a single-threaded apartment, as the server's main thread has it.
struct com_scope {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  com_scope() = default;
  com_scope(const com_scope&) = delete;
  com_scope& operator=(const com_scope&) = delete;
  ~com_scope() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
};

// Owns one reference.
template <typename T>
class com_ptr {
 public:
  com_ptr() = default;
  explicit com_ptr(T* pointer) : pointer_(pointer) {}
  com_ptr(com_ptr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  com_ptr& operator=(com_ptr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }
  com_ptr(const com_ptr&) = delete;
  com_ptr& operator=(const com_ptr&) = delete;
  ~com_ptr() { reset(); }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  void reset() {
    if (pointer_) std::exchange(pointer_, nullptr)->Release();
  }
  T** put() {
    reset();
    return &pointer_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

 private:
  T* pointer_ = nullptr;
};

}  // namespace proxy_test
