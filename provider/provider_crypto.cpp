#include "provider/provider_crypto.h"

#include <bcrypt.h>
#include <dpapi.h>

#include <algorithm>
#include <cstring>

#include "win/cert_owners.h"
#include "win/kv_hresult.h"
#include "win/owners.h"

namespace kv::provider {

namespace {

HRESULT last_error() noexcept {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return E_FAIL;
  return static_cast<HRESULT>(error) < 0 ? static_cast<HRESULT>(error) : HRESULT_FROM_WIN32(error);
}

// A CryptoAPI handle to the certificate's private key, released when it goes unless the
// certificate context keeps it cached.
class private_key {
 public:
  bool acquire(PCCERT_CONTEXT certificate) noexcept {
    BOOL must_free = FALSE;
    if (!CryptAcquireCertificatePrivateKey(certificate, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &provider_, &key_kind_,
                                           &must_free))
      return false;
    if (must_free) owned_.reset(provider_);
    return true;
  }
  HCRYPTPROV provider() const noexcept { return provider_; }
  DWORD key_kind() const noexcept { return key_kind_; }  // AT_KEYEXCHANGE or AT_SIGNATURE

 private:
  HCRYPTPROV provider_ = 0;
  DWORD key_kind_ = 0;
  kv::unique_crypt_prov owned_;
};

// The private key of `certificate`: its own, or that of the same certificate in the user's "MY"
// store (a context decoded from its encoded form alone has none).
bool find_private_key(PCCERT_CONTEXT certificate, private_key& key) noexcept {
  if (key.acquire(certificate)) return true;
  kv::unique_cert_store store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                            CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_OPEN_EXISTING_FLAG |
                                                CERT_STORE_READONLY_FLAG,
                                            L"MY"));
  if (!store) return false;
  // By SHA-1 thumbprint, which every store indexes (Wine 8 finds nothing by CERT_FIND_EXISTING).
  BYTE thumbprint[20];
  DWORD size = sizeof thumbprint;
  if (!CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &size)) return false;
  CRYPT_HASH_BLOB wanted{size, thumbprint};
  kv::unique_cert_context mine(
      CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &wanted, nullptr));
  return mine && key.acquire(mine.get());
}

HRESULT from_status(NTSTATUS status) noexcept {
  if (status >= 0) return S_OK;
  if (status == static_cast<NTSTATUS>(0xC000A002L)) return seal_mismatch;  // STATUS_AUTH_TAG_MISMATCH
  if (status == static_cast<NTSTATUS>(0xC0000017L)) return E_OUTOFMEMORY;  // STATUS_NO_MEMORY
  return HRESULT_FROM_NT(status);
}

HRESULT open_algorithm(const wchar_t* name, ULONG flags, unique_algorithm& algorithm) noexcept {
  return from_status(BCryptOpenAlgorithmProvider(algorithm.put(), name, nullptr, flags));
}

HRESULT gcm_key(const key256& key, unique_algorithm& algorithm, unique_bcrypt_key& handle) noexcept {
  KV_RETURN_IF_FAILED(open_algorithm(BCRYPT_AES_ALGORITHM, 0, algorithm));
  KV_RETURN_IF_FAILED(from_status(BCryptSetProperty(
      algorithm.get(), BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
      sizeof BCRYPT_CHAIN_MODE_GCM, 0)));
  return from_status(BCryptGenerateSymmetricKey(algorithm.get(), handle.put(), nullptr, 0,
                                                const_cast<PUCHAR>(key.bytes), key_size, 0));
}

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO gcm_info(const void* aad, std::size_t aad_size, const std::uint8_t* nonce,
                                               const std::uint8_t* tag) noexcept {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = const_cast<PUCHAR>(nonce);
  info.cbNonce = nonce_size;
  info.pbAuthData = static_cast<PUCHAR>(const_cast<void*>(aad));
  info.cbAuthData = static_cast<ULONG>(aad_size);
  info.pbTag = const_cast<PUCHAR>(tag);
  info.cbTag = tag_size;
  return info;
}

bool fits_ulong(std::size_t size) noexcept { return size <= 0xFFFFFFFFu; }

}  // namespace

HRESULT random_bytes(void* out, std::size_t size) noexcept {
  if (!fits_ulong(size)) return E_INVALIDARG;
  return from_status(BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), static_cast<ULONG>(size),
                                     BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

HRESULT sha256(const void* data, std::size_t size, std::uint8_t (&digest)[digest_size]) noexcept {
  if (!fits_ulong(size)) return E_INVALIDARG;
  unique_algorithm algorithm;
  KV_RETURN_IF_FAILED(open_algorithm(BCRYPT_SHA256_ALGORITHM, 0, algorithm));
  return from_status(BCryptHash(algorithm.get(), nullptr, 0, static_cast<PUCHAR>(const_cast<void*>(data)),
                                static_cast<ULONG>(size), digest, digest_size));
}

HRESULT derive_key(const void* secret, std::size_t secret_size, const std::uint8_t (&salt)[salt_size],
                   std::uint32_t iterations, key256& key) noexcept {
  if (!fits_ulong(secret_size) || iterations == 0) return E_INVALIDARG;
  unique_algorithm algorithm;
  KV_RETURN_IF_FAILED(open_algorithm(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG, algorithm));
  // An empty secret still needs a valid pointer for BCrypt.
  static const std::uint8_t nothing = 0;
  const void* input = secret_size ? secret : &nothing;
  return from_status(BCryptDeriveKeyPBKDF2(algorithm.get(), static_cast<PUCHAR>(const_cast<void*>(input)),
                                           static_cast<ULONG>(secret_size), const_cast<PUCHAR>(salt), salt_size,
                                           iterations, key.bytes, key_size, 0));
}

HRESULT seal_bytes(const key256& key, const void* aad, std::size_t aad_size, const void* plain, std::size_t size,
                   std::uint8_t (&nonce)[nonce_size], std::uint8_t* cipher, std::uint8_t (&tag)[tag_size]) noexcept {
  if (!fits_ulong(size) || !fits_ulong(aad_size)) return E_INVALIDARG;
  KV_RETURN_IF_FAILED(random_bytes(nonce, nonce_size));
  unique_algorithm algorithm;
  unique_bcrypt_key handle;
  KV_RETURN_IF_FAILED(gcm_key(key, algorithm, handle));
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = gcm_info(aad, aad_size, nonce, tag);
  ULONG written = 0;
  return from_status(BCryptEncrypt(handle.get(), static_cast<PUCHAR>(const_cast<void*>(plain)),
                                   static_cast<ULONG>(size), &info, nullptr, 0, cipher, static_cast<ULONG>(size),
                                   &written, 0));
}

HRESULT open_bytes(const key256& key, const void* aad, std::size_t aad_size, const std::uint8_t (&nonce)[nonce_size],
                   const std::uint8_t* cipher, std::size_t size, const std::uint8_t (&tag)[tag_size],
                   std::uint8_t* plain) noexcept {
  if (!fits_ulong(size) || !fits_ulong(aad_size)) return E_INVALIDARG;
  unique_algorithm algorithm;
  unique_bcrypt_key handle;
  KV_RETURN_IF_FAILED(gcm_key(key, algorithm, handle));
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = gcm_info(aad, aad_size, nonce, tag);
  ULONG written = 0;
  const HRESULT hr = from_status(BCryptDecrypt(handle.get(), const_cast<PUCHAR>(cipher), static_cast<ULONG>(size),
                                               &info, nullptr, 0, plain, static_cast<ULONG>(size), &written, 0));
  if (FAILED(hr)) SecureZeroMemory(plain, size);
  return hr;
}

HRESULT custodian_protect(const key256& key, const void* entropy, std::size_t entropy_size, byte_buffer& blob) {
  if (kv::mem_injected_failure()) throw std::bad_alloc();
  DATA_BLOB in{key_size, const_cast<BYTE*>(key.bytes)};
  DATA_BLOB extra{static_cast<DWORD>(entropy_size), static_cast<BYTE*>(const_cast<void*>(entropy))};
  DATA_BLOB out{};
  if (!CryptProtectData(&in, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
    return HRESULT_FROM_WIN32(GetLastError());
  const kv::unique_local protected_blob(out.pbData);
  blob.assign(out.pbData, out.pbData + out.cbData);
  return S_OK;
}

HRESULT custodian_open(const byte_buffer& blob, const void* entropy, std::size_t entropy_size,
                       key256& key) noexcept {
  if (kv::mem_injected_failure()) return E_OUTOFMEMORY;
  DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
  DATA_BLOB extra{static_cast<DWORD>(entropy_size), static_cast<BYTE*>(const_cast<void*>(entropy))};
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return NTE_PERM;
  const kv::unique_local plain_blob(out.pbData);
  const bool fits = out.cbData == key_size;
  if (fits) std::memcpy(key.bytes, out.pbData, key_size);
  SecureZeroMemory(out.pbData, out.cbData);
  return fits ? S_OK : NTE_PERM;
}

bool same_bytes(const void* a, const void* b, std::size_t size) noexcept {
  const auto* x = static_cast<const volatile std::uint8_t*>(a);
  const auto* y = static_cast<const volatile std::uint8_t*>(b);
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < size; ++i) difference = static_cast<std::uint8_t>(difference | (x[i] ^ y[i]));
  return difference == 0;
}

HRESULT certificate_digest(PCCERT_CONTEXT certificate, std::uint8_t (&digest)[digest_size]) noexcept {
  if (!certificate || !certificate->pbCertEncoded || certificate->cbCertEncoded == 0) return E_INVALIDARG;
  return sha256(certificate->pbCertEncoded, certificate->cbCertEncoded, digest);
}

namespace {

// The certificate's public key, in a provider that holds no private key.
HRESULT import_public_key(PCCERT_CONTEXT certificate, kv::unique_crypt_prov& provider, unique_crypt_key& public_key) {
  if (!certificate || !certificate->pCertInfo) return E_INVALIDARG;
  if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return last_error();
  if (!CryptImportPublicKeyInfo(provider.get(), X509_ASN_ENCODING, &certificate->pCertInfo->SubjectPublicKeyInfo,
                                public_key.put()))
    return last_error();
  return S_OK;
}

}  // namespace

HRESULT certificate_wrap(PCCERT_CONTEXT certificate, const key256& key, byte_buffer& wrapped) {
  kv::unique_crypt_prov provider;
  unique_crypt_key public_key;
  KV_RETURN_IF_FAILED(import_public_key(certificate, provider, public_key));
  DWORD size = key_size;
  if (!CryptEncrypt(public_key.get(), 0, TRUE, CRYPT_OAEP, nullptr, &size, 0)) return last_error();
  wrapped.assign(size < key_size ? key_size : size, 0);
  std::memcpy(wrapped.data(), key.bytes, key_size);
  DWORD length = key_size;
  if (!CryptEncrypt(public_key.get(), 0, TRUE, CRYPT_OAEP, wrapped.data(), &length, static_cast<DWORD>(wrapped.size())))
    return last_error();
  wrapped.resize(length);
  std::reverse(wrapped.begin(), wrapped.end());  // CryptoAPI writes least significant byte first
  return S_OK;
}

namespace {

// A SHA-256 hash of `data` in `provider`. A key container of a provider without SHA-256 (the
// older RSA providers) is opened again through the AES provider, which reads the same container.
HRESULT hash_data(HCRYPTPROV provider, const byte_buffer& data, kv::unique_crypt_prov& reopened,
                  unique_crypt_hash& hash) {
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, hash.put())) {
    if (GetLastError() != static_cast<DWORD>(NTE_BAD_ALGID)) return last_error();
    char container[512] = {};
    DWORD size = sizeof container;
    if (!CryptGetProvParam(provider, PP_CONTAINER, reinterpret_cast<BYTE*>(container), &size, 0) ||
        !CryptAcquireContextA(reopened.put(), container, nullptr, PROV_RSA_AES, CRYPT_SILENT) ||
        !CryptCreateHash(reopened.get(), CALG_SHA_256, 0, 0, hash.put()))
      return last_error();
  }
  if (!CryptHashData(hash.get(), data.data(), static_cast<DWORD>(data.size()), 0)) return last_error();
  return S_OK;
}

}  // namespace

HRESULT certificate_sign(PCCERT_CONTEXT certificate, const byte_buffer& data, byte_buffer& signature) {
  if (!certificate) return E_INVALIDARG;
  private_key owner;
  if (!find_private_key(certificate, owner)) return NTE_NO_KEY;
  kv::unique_crypt_prov reopened;
  unique_crypt_hash hash;
  KV_RETURN_IF_FAILED(hash_data(owner.provider(), data, reopened, hash));
  // Wine 8 answers the key kind 3 (both kinds) for a key imported from PKCS#12: then try each.
  const DWORD kinds[] = {owner.key_kind(), AT_SIGNATURE, AT_KEYEXCHANGE};
  for (const DWORD kind : kinds) {
    if (kind != AT_SIGNATURE && kind != AT_KEYEXCHANGE) continue;
    DWORD size = 0;
    if (!CryptSignHashW(hash.get(), kind, nullptr, 0, nullptr, &size)) continue;
    signature.assign(size, 0);
    if (CryptSignHashW(hash.get(), kind, nullptr, 0, signature.data(), &size)) {
      signature.resize(size);
      return S_OK;
    }
  }
  signature.clear();
  return NTE_NO_KEY;
}

HRESULT certificate_verify(PCCERT_CONTEXT certificate, const byte_buffer& data, const byte_buffer& signature) {
  if (!certificate || !certificate->pCertInfo) return E_INVALIDARG;
  if (signature.empty()) return NTE_BAD_SIGNATURE;
  kv::unique_crypt_prov provider;
  unique_crypt_key public_key;
  KV_RETURN_IF_FAILED(import_public_key(certificate, provider, public_key));
  kv::unique_crypt_prov unused;
  unique_crypt_hash hash;
  KV_RETURN_IF_FAILED(hash_data(provider.get(), data, unused, hash));
  return CryptVerifySignatureW(hash.get(), signature.data(), static_cast<DWORD>(signature.size()), public_key.get(),
                               nullptr, 0)
             ? S_OK
             : NTE_BAD_SIGNATURE;
}

HRESULT certificate_unwrap(PCCERT_CONTEXT certificate, const byte_buffer& wrapped, key256& key) {
  if (!certificate) return E_INVALIDARG;
  private_key owner;
  if (!find_private_key(certificate, owner)) return NTE_NO_KEY;
  unique_crypt_key handle;
  // Wine 8 answers the key kind 3 (both kinds) for a key imported from PKCS#12: then try each.
  const DWORD kinds[] = {owner.key_kind(), AT_KEYEXCHANGE, AT_SIGNATURE};
  for (const DWORD kind : kinds)
    if (CryptGetUserKey(owner.provider(), kind, handle.put())) break;
  if (!handle) return NTE_NO_KEY;
  byte_buffer plain(wrapped.rbegin(), wrapped.rend());
  DWORD length = static_cast<DWORD>(plain.size());
  if (!CryptDecrypt(handle.get(), 0, TRUE, CRYPT_OAEP, plain.data(), &length) || length != key_size)
    return seal_mismatch;
  std::memcpy(key.bytes, plain.data(), key_size);
  return S_OK;
}

}  // namespace kv::provider
