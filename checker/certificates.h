#pragma once
// The checker's own certificate (RSA, self-signed; its private key was thrown away when it was
// made) and, for every call that hands one over, a memory store of its own that holds it. After
// the call, the checker frees its context and closes that store with CERT_CLOSE_STORE_CHECK_FLAG,
// which fails with CRYPT_E_PENDING_CLOSE while another reference to the context lives: a
// duplicate the provider kept and never freed.
#include <windows.h>
#include <wincrypt.h>

#include "win/cert_owners.h"

namespace kv::check {

class certificate_lease {
 public:
  certificate_lease() = default;
  certificate_lease(certificate_lease&&) = default;
  certificate_lease& operator=(certificate_lease&&) = default;

  // A fresh memory store holding the certificate, and the checker's context of it.
  HRESULT open();
  PCCERT_CONTEXT context() const noexcept { return context_.get(); }
  // Frees the checker's context and closes the store: true when a reference to the context still
  // lives (the store then stays until it is freed).
  bool close_and_check_kept() noexcept;

 private:
  kv::unique_cert_store store_;
  kv::unique_cert_context context_;
};

// True when this system's CertCloseStore says that a context outlives its store; where it does
// not, a kept duplicate cannot be seen.
bool system_reports_kept_contexts();

}  // namespace kv::check
