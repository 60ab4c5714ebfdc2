#pragma once
// Owns one reference on a COM interface.
#include <utility>

namespace kv {

template <typename T>
class com_ref {
 public:
  com_ref() noexcept = default;
  com_ref(com_ref&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
  com_ref& operator=(com_ref&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = std::exchange(other.pointer_, nullptr);
    }
    return *this;
  }
  com_ref(const com_ref&) = delete;
  com_ref& operator=(const com_ref&) = delete;
  ~com_ref() { reset(); }

  T* get() const noexcept { return pointer_; }
  T* operator->() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }
  void reset() noexcept {
    if (pointer_) std::exchange(pointer_, nullptr)->Release();
  }
  // For out-parameters: releases the held reference, then answers where the callee writes.
  T** put() noexcept {
    reset();
    return &pointer_;
  }

 private:
  T* pointer_ = nullptr;
};

}  // namespace kv
