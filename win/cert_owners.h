#pragma once
// Owners for CryptoAPI and CNG resources (Windows only), on the same template as the other OS owners.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include "win/owners.h"

namespace kv {

namespace close_fn {
inline void cert_context(PCCERT_CONTEXT value) noexcept { CertFreeCertificateContext(value); }
inline void crl_context(PCCRL_CONTEXT value) noexcept { CertFreeCRLContext(value); }
inline void cert_store(HCERTSTORE value) noexcept { CertCloseStore(value, 0); }
inline void crypt_prov(HCRYPTPROV value) noexcept { CryptReleaseContext(value, 0); }
inline void crypt_key(HCRYPTKEY value) noexcept { CryptDestroyKey(value); }
inline void crypt_hash(HCRYPTHASH value) noexcept { CryptDestroyHash(value); }
inline void algorithm(BCRYPT_ALG_HANDLE value) noexcept { BCryptCloseAlgorithmProvider(value, 0); }
inline void bcrypt_key(BCRYPT_KEY_HANDLE value) noexcept { BCryptDestroyKey(value); }
}  // namespace close_fn

using unique_cert_context = unique_any<PCCERT_CONTEXT, close_fn::cert_context>;
using unique_crl_context = unique_any<PCCRL_CONTEXT, close_fn::crl_context>;
using unique_cert_store = unique_any<HCERTSTORE, close_fn::cert_store>;
using unique_crypt_prov = unique_any<HCRYPTPROV, close_fn::crypt_prov>;
using unique_crypt_key = unique_any<HCRYPTKEY, close_fn::crypt_key>;
using unique_crypt_hash = unique_any<HCRYPTHASH, close_fn::crypt_hash>;
using unique_algorithm = unique_any<BCRYPT_ALG_HANDLE, close_fn::algorithm>;
using unique_bcrypt_key = unique_any<BCRYPT_KEY_HANDLE, close_fn::bcrypt_key>;

}  // namespace kv
