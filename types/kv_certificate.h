#pragma once
// KV_certificate: a certificate descriptor that owns one reference on a certificate context.
// Copies hold their own duplicated reference, so a copy and its source can be destroyed in any
// order. An empty descriptor (no context) stands for "no usable certificate".
#include <windows.h>
#include <wincrypt.h>

#include "types/cert_owners.h"
#include "types/kv_string.h"

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

 private:
  KV_string texts_[text_count];
  kv::unique_cert_context context_;
};
