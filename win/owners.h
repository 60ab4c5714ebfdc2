#pragma once
// Owners for OS resources (Windows only): one template, parameterised by the close function and
// the invalid value, and an alias per resource type; the EXCEPINFO and VARIANT of a dispatch call;
// a reference-counted COM pointer; a type library's attributes; the COM initialisation of a thread.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <utility>

#include "types/kv_alloc.h"

// types/kv_mutex.h: frees what make_open_security_attributes made.
void free_security_attributes(SECURITY_ATTRIBUTES* attributes) noexcept;

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
inline void find(HANDLE value) noexcept { FindClose(value); }
inline void local(HLOCAL value) noexcept { LocalFree(value); }
inline void release_mutex(HANDLE value) noexcept { ReleaseMutex(value); }
template <typename T>
inline void mem(T* value) noexcept {
  mem_free(value);
}
}  // namespace close_fn

inline HANDLE invalid_handle_value() noexcept { return INVALID_HANDLE_VALUE; }

using unique_bstr = unique_any<BSTR, close_fn::bstr>;
using unique_handle = unique_any<HANDLE, close_fn::handle>;
using unique_file = unique_any<HANDLE, close_fn::handle, invalid_handle_value>;
using unique_hkey = unique_any<HKEY, close_fn::hkey>;
// A FindFirstFile search.
using unique_find = unique_any<HANDLE, close_fn::find, invalid_handle_value>;
// Memory that a system call allocated with LocalAlloc for its caller (FormatMessageW,
// CryptProtectData, CommandLineToArgvW).
using unique_local = unique_any<HLOCAL, close_fn::local>;
// A block from kv::mem_alloc, seen as T*.
template <typename T = void>
using unique_mem = unique_any<T*, close_fn::mem<T>>;
// The attributes from make_open_security_attributes (types/kv_mutex.h).
using unique_security_attributes = unique_any<SECURITY_ATTRIBUTES*, free_security_attributes>;
// The calling thread's ownership of a mutex, given back with ReleaseMutex; the handle stays
// open (its own owner closes it, after this one). Owners of a mutex are per thread: release
// it on the thread that took it.
using unique_mutex_ownership = unique_any<HANDLE, close_fn::release_mutex>;

// A block from kv::mem_alloc that holds text: zeroed before it is freed, like every stored text.
// Move-only.
class wiped_mem {
 public:
  wiped_mem() noexcept = default;
  explicit wiped_mem(std::size_t bytes) noexcept : block_(mem_alloc(bytes)), bytes_(block_ ? bytes : 0) {}
  wiped_mem(wiped_mem&& other) noexcept : block_(other.block_), bytes_(other.bytes_) {
    other.block_ = nullptr;
    other.bytes_ = 0;
  }
  wiped_mem& operator=(wiped_mem&& other) noexcept {
    if (this != &other) {
      reset();
      block_ = other.block_;
      bytes_ = other.bytes_;
      other.block_ = nullptr;
      other.bytes_ = 0;
    }
    return *this;
  }
  wiped_mem(const wiped_mem&) = delete;
  wiped_mem& operator=(const wiped_mem&) = delete;
  ~wiped_mem() { reset(); }

  void* get() const noexcept { return block_; }
  template <typename T>
  T* as() const noexcept {
    return static_cast<T*>(block_);
  }
  explicit operator bool() const noexcept { return block_ != nullptr; }
  void reset() noexcept {
    secure_wipe(block_, bytes_);
    mem_free(block_);
    block_ = nullptr;
    bytes_ = 0;
  }

 private:
  void* block_ = nullptr;
  std::size_t bytes_ = 0;
};

// The EXCEPINFO that IDispatch::Invoke fills on DISP_E_EXCEPTION: its three strings are the
// caller's to free. Not movable: Invoke writes into it in place.
class unique_excepinfo {
 public:
  unique_excepinfo() noexcept = default;
  unique_excepinfo(const unique_excepinfo&) = delete;
  unique_excepinfo& operator=(const unique_excepinfo&) = delete;
  ~unique_excepinfo() { reset(); }

  const EXCEPINFO& get() const noexcept { return value_; }
  // For Invoke's out-parameter: frees what it held, then answers where Invoke writes.
  EXCEPINFO* put() noexcept {
    reset();
    return &value_;
  }
  void reset() noexcept {
    unique_bstr(value_.bstrSource).reset();
    unique_bstr(value_.bstrDescription).reset();
    unique_bstr(value_.bstrHelpFile).reset();
    value_ = {};
  }

 private:
  EXCEPINFO value_ = {};
};

// A VARIANT cleared with VariantClear when the owner goes. Not movable: callees write into it in place.
class unique_variant {
 public:
  unique_variant() noexcept { VariantInit(&value_); }
  unique_variant(const unique_variant&) = delete;
  unique_variant& operator=(const unique_variant&) = delete;
  ~unique_variant() { reset(); }

  VARIANT* get() noexcept { return &value_; }
  const VARIANT* get() const noexcept { return &value_; }
  // For out-parameters: clears what it held, then answers where the callee writes.
  VARIANT* put() noexcept {
    reset();
    return &value_;
  }
  void reset() noexcept {
    const DWORD last_error = GetLastError();
    VariantClear(&value_);
    SetLastError(last_error);
  }

 private:
  VARIANT value_;
};

// Owns one reference on a COM interface. Move-only.
template <typename T>
class com_ptr {
 public:
  constexpr com_ptr() noexcept = default;
  constexpr com_ptr(std::nullptr_t) noexcept {}  // so that an aggregate table can start its owners as nullptr
  // Takes over a reference the caller holds.
  explicit com_ptr(T* pointer) noexcept : pointer_(pointer) {}
  com_ptr(com_ptr&& other) noexcept : pointer_(other.release()) {}
  com_ptr& operator=(com_ptr&& other) noexcept {
    if (this != &other) {
      reset();
      pointer_ = other.release();
    }
    return *this;
  }
  com_ptr(const com_ptr&) = delete;
  com_ptr& operator=(const com_ptr&) = delete;
  ~com_ptr() { reset(); }

  T* get() const noexcept { return pointer_; }
  T* operator->() const noexcept { return pointer_; }
  explicit operator bool() const noexcept { return pointer_ != nullptr; }
  friend bool operator==(const com_ptr& owner, std::nullptr_t) noexcept { return owner.pointer_ == nullptr; }
  void reset() noexcept {
    if (pointer_) std::exchange(pointer_, nullptr)->Release();
  }
  // Gives up the reference without releasing it.
  T* release() noexcept { return std::exchange(pointer_, nullptr); }
  // For out-parameters: releases the held reference, then answers where the callee writes.
  T** put() noexcept {
    reset();
    return &pointer_;
  }
  // The same for the void** of QueryInterface and CoCreateInstance.
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

 private:
  T* pointer_ = nullptr;
};

// The TLIBATTR that ITypeLib::GetLibAttr hands out, given back with ReleaseTLibAttr through the
// same library, on which the owner keeps a reference meanwhile. Move-only.
class unique_tlibattr {
 public:
  unique_tlibattr() noexcept = default;
  unique_tlibattr(unique_tlibattr&& other) noexcept
      : library_(std::move(other.library_)), attributes_(std::exchange(other.attributes_, nullptr)) {}
  unique_tlibattr& operator=(unique_tlibattr&& other) noexcept {
    if (this != &other) {
      reset();
      library_ = std::move(other.library_);
      attributes_ = std::exchange(other.attributes_, nullptr);
    }
    return *this;
  }
  unique_tlibattr(const unique_tlibattr&) = delete;
  unique_tlibattr& operator=(const unique_tlibattr&) = delete;
  ~unique_tlibattr() { reset(); }

  // Gives back what it held, then asks `library` for its attributes: GetLibAttr's result. The
  // owner holds nothing unless that succeeded.
  HRESULT get_lib_attr(ITypeLib* library) noexcept {
    reset();
    if (!library) return E_INVALIDARG;
    TLIBATTR* attributes = nullptr;
    const HRESULT hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    library->AddRef();
    library_ = com_ptr<ITypeLib>(library);
    attributes_ = attributes;
    return hr;
  }

  const TLIBATTR* get() const noexcept { return attributes_; }
  const TLIBATTR* operator->() const noexcept { return attributes_; }
  explicit operator bool() const noexcept { return attributes_ != nullptr; }
  void reset() noexcept {
    if (attributes_) library_->ReleaseTLibAttr(std::exchange(attributes_, nullptr));
    library_.reset();
  }

 private:
  com_ptr<ITypeLib> library_;
  TLIBATTR* attributes_ = nullptr;
};

// COM initialised on this thread as a single-threaded apartment for the owner's lifetime;
// uninitialised again only when the initialisation succeeded (S_FALSE included).
class com_apartment {
 public:
  com_apartment() noexcept : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  com_apartment(const com_apartment&) = delete;
  com_apartment& operator=(const com_apartment&) = delete;
  ~com_apartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  HRESULT result() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace kv
