#pragma once
// KV_csp: finds a certificate in the current user's personal ("MY") store by issuer and serial
// number and hands it back only when no revocation list of the user's system stores, and not the
// "Disallowed" store, refuses it. Nothing is fetched from the network.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

#include "win/cert_owners.h"
#include "win/kv_certificate.h"

// The state of one revocation decision, handed to enum_store_callback for each system store.
struct revocation_scan {
  PCCERT_CONTEXT certificate = nullptr;  // borrowed
  BOOL revoked = FALSE;
  HCRYPTPROV provider = 0;               // borrowed from the KV_csp
  std::uint64_t latest_revocation = 0;   // FILETIME of the newest entry accepted so far
  bool out_of_memory = false;            // a callback could not finish; rethrown by is_revoked
};

class KV_csp {
 public:
  // Acquires the default RSA provider context and opens "MY". Never fails as such: failures are
  // reported to the trace log, and a KV_csp without a store finds nothing.
  KV_csp();
  virtual ~KV_csp();
  KV_csp(const KV_csp&) = delete;
  KV_csp& operator=(const KV_csp&) = delete;

  // `serial_number` is least significant byte first, as CERT_INFO holds it; `issuer` is the
  // encoded distinguished name. Empty when the certificate is not in "MY" or is revoked.
  // Throws std::bad_alloc.
  KV_certificate get_certificate(const CRYPT_INTEGER_BLOB& serial_number, const CERT_NAME_BLOB& issuer);

  // The steps of the lookup, open for tests.
  bool is_revoked(PCCERT_CONTEXT certificate) const;
  // Applies the revocation lists of one system store to the scan (`scan` is a revocation_scan).
  // Always answers TRUE (go on), except after an allocation failure.
  static BOOL WINAPI enum_store_callback(const void* store_name, DWORD flags, PCERT_SYSTEM_STORE_INFO info,
                                         void* reserved, void* scan);

  HCRYPTPROV provider() const noexcept { return provider_.get(); }
  HCERTSTORE store() const noexcept { return store_.get(); }

 private:
  kv::unique_crypt_prov provider_;
  kv::unique_cert_store store_;
};
