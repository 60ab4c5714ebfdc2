#pragma once
// KV_certificate: a certificate descriptor that owns one reference on a certificate context.
// Copies hold their own duplicated reference, so a copy and its source can be destroyed in any
// order. An empty descriptor (no context) stands for "no usable certificate".
//
// Keystore providers receive the address of this object and read its fields directly, so its
// layout is fixed: vtable pointer, certificate context, the two texts (see the provider header's
// KV_provider_certificate).
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

#include "types/kv_string.h"
#include "win/cert_owners.h"

class KV_certificate {
 public:
  KV_certificate();
  // Duplicates `context` (null gives an empty descriptor); the text fields stay empty.
  explicit KV_certificate(PCCERT_CONTEXT context);
  KV_certificate(const KV_certificate& other);
  KV_certificate(KV_certificate&& other) noexcept;
  // Holding the same context pointer already: nothing happens (self-assignment included).
  // Otherwise the own reference is freed, the other's duplicated and both texts copied.
  KV_certificate& operator=(const KV_certificate& other);
  KV_certificate& operator=(KV_certificate&& other) noexcept;
  virtual ~KV_certificate();

  // Borrowed; valid while this descriptor holds it.
  PCCERT_CONTEXT context() const noexcept { return context_.get(); }
  bool empty() const noexcept { return !context_; }

  // The two descriptive texts that travel with the descriptor; this system leaves them empty.
  static constexpr int text_count = 2;
  const KV_string& text(int index) const noexcept { return texts_[index]; }

  // Where a provider finds the fields.
  static constexpr std::size_t context_offset() noexcept;
  static constexpr std::size_t texts_offset() noexcept;

 private:
  kv::unique_cert_context context_;
  KV_string texts_[text_count];
};

// offsetof on a polymorphic class is conditionally supported; every compiler we build with gives
// the real offset, which is what a provider relies on.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
constexpr std::size_t KV_certificate::context_offset() noexcept { return offsetof(KV_certificate, context_); }
constexpr std::size_t KV_certificate::texts_offset() noexcept { return offsetof(KV_certificate, texts_); }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#if defined(_WIN64)
static_assert(sizeof(kv::unique_cert_context) == sizeof(PCCERT_CONTEXT));
static_assert(KV_certificate::context_offset() == 8, "the context follows the vtable pointer");
static_assert(KV_certificate::texts_offset() == 16, "the texts follow the context");
static_assert(sizeof(KV_string) == 24);
static_assert(sizeof(KV_certificate) == 64);
#endif
