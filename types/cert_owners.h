#pragma once
// Owners for CryptoAPI resources (Windows only), on the same template as the other OS owners.
#include <windows.h>
#include <wincrypt.h>

#include "types/owners.h"

namespace kv {

namespace close_fn {
inline void cert_context(PCCERT_CONTEXT value) noexcept { CertFreeCertificateContext(value); }
inline void crl_context(PCCRL_CONTEXT value) noexcept { CertFreeCRLContext(value); }
inline void cert_store(HCERTSTORE value) noexcept { CertCloseStore(value, 0); }
inline void crypt_prov(HCRYPTPROV value) noexcept { CryptReleaseContext(value, 0); }
}  // namespace close_fn

using unique_cert_context = unique_any<PCCERT_CONTEXT, close_fn::cert_context>;
using unique_crl_context = unique_any<PCCRL_CONTEXT, close_fn::crl_context>;
using unique_cert_store = unique_any<HCERTSTORE, close_fn::cert_store>;
using unique_crypt_prov = unique_any<HCRYPTPROV, close_fn::crypt_prov>;

}  // namespace kv
