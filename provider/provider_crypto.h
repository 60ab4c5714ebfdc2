#pragma once
// The cryptography of the file keystore, all from the platform: BCrypt for random numbers,
// SHA-256, PBKDF2-HMAC-SHA256 and AES-256-GCM; DPAPI for the custodian copy of a keystore key.
// Every function answers an HRESULT; none throws except where it says std::bad_alloc.
#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "types/kv_alloc.h"
#include "win/wiping_allocator.h"

namespace kv::provider {

constexpr std::size_t key_size = 32;     // AES-256 keys and the key secrets themselves
constexpr std::size_t salt_size = 16;
constexpr std::size_t nonce_size = 12;   // GCM nonce
constexpr std::size_t tag_size = 16;     // GCM tag
constexpr std::size_t digest_size = 32;  // SHA-256
constexpr std::size_t id_size = 16;

// What open_sealed answers when the tag does not match: a wrong key or altered bytes; the caller
// knows which of the two it means.
constexpr HRESULT seal_mismatch = NTE_BAD_SIGNATURE;

using byte_buffer = std::vector<std::uint8_t, wiping_allocator<std::uint8_t>>;
// Texts that may hold names of keys or file contents (paths, links, registry value names).
using wide_buffer = std::vector<wchar_t, wiping_allocator<wchar_t>>;

// A fixed-size secret that wipes itself when it goes.
template <std::size_t N>
struct secret_bytes {
  std::uint8_t bytes[N] = {};
  secret_bytes() noexcept = default;
  secret_bytes(const secret_bytes& other) noexcept { CopyMemory(bytes, other.bytes, N); }
  secret_bytes& operator=(const secret_bytes& other) noexcept {
    CopyMemory(bytes, other.bytes, N);
    return *this;
  }
  ~secret_bytes() { SecureZeroMemory(bytes, N); }
  static constexpr std::size_t size() noexcept { return N; }
};
using key256 = secret_bytes<key_size>;

// An AES-256-GCM sealed block of N bytes: nonce, cipher text, tag.
template <std::size_t N>
struct sealed {
  std::uint8_t nonce[nonce_size] = {};
  std::uint8_t cipher[N] = {};
  std::uint8_t tag[tag_size] = {};
};
using sealed_key = sealed<key_size>;

HRESULT random_bytes(void* out, std::size_t size) noexcept;

HRESULT sha256(const void* data, std::size_t size, std::uint8_t (&digest)[digest_size]) noexcept;

// PBKDF2-HMAC-SHA256 of `secret` (any bytes; passwords go in as their UTF-16LE code units).
HRESULT derive_key(const void* secret, std::size_t secret_size, const std::uint8_t (&salt)[salt_size],
                   std::uint32_t iterations, key256& key) noexcept;

// AES-256-GCM over `size` bytes with `aad` authenticated too. seal_bytes draws a fresh nonce.
HRESULT seal_bytes(const key256& key, const void* aad, std::size_t aad_size, const void* plain, std::size_t size,
                   std::uint8_t (&nonce)[nonce_size], std::uint8_t* cipher, std::uint8_t (&tag)[tag_size]) noexcept;
// seal_mismatch when the tag does not fit; `plain` is then wiped.
HRESULT open_bytes(const key256& key, const void* aad, std::size_t aad_size, const std::uint8_t (&nonce)[nonce_size],
                   const std::uint8_t* cipher, std::size_t size, const std::uint8_t (&tag)[tag_size],
                   std::uint8_t* plain) noexcept;

template <std::size_t N>
HRESULT seal_block(const key256& key, const void* aad, std::size_t aad_size, const std::uint8_t (&plain)[N],
                   sealed<N>& out) noexcept {
  return seal_bytes(key, aad, aad_size, plain, N, out.nonce, out.cipher, out.tag);
}
template <std::size_t N>
HRESULT open_block(const key256& key, const void* aad, std::size_t aad_size, const sealed<N>& in,
                   std::uint8_t (&plain)[N]) noexcept {
  return open_bytes(key, aad, aad_size, in.nonce, in.cipher, N, in.tag, plain);
}

// The custodian copy: DPAPI for the calling Windows account, with `entropy` bound in. Opening
// answers NTE_PERM when this account on this machine cannot open the blob (or it was altered).
// Throws std::bad_alloc.
HRESULT custodian_protect(const key256& key, const void* entropy, std::size_t entropy_size, byte_buffer& blob);
HRESULT custodian_open(const byte_buffer& blob, const void* entropy, std::size_t entropy_size, key256& key) noexcept;

// Compares without an early exit, so that timing tells nothing about where two digests differ.
bool same_bytes(const void* a, const void* b, std::size_t size) noexcept;

// The SHA-256 of a certificate's encoded form: what names the certificate a keystore is bound to.
HRESULT certificate_digest(PCCERT_CONTEXT certificate, std::uint8_t (&digest)[digest_size]) noexcept;

// Certificate protection: a 32-byte key wrapped with RSA-OAEP (SHA-1, as CryptoAPI does it) to
// the certificate's public key, big-endian like any RSA cipher text. Throws std::bad_alloc.
HRESULT certificate_wrap(PCCERT_CONTEXT certificate, const key256& key, byte_buffer& wrapped);
// Unwrapping needs the certificate's private key: the context's own, or that of the same
// certificate in the user's "MY" store. NTE_NO_KEY when neither has one that CryptoAPI reaches;
// seal_mismatch when the key does not open `wrapped` (another certificate, altered bytes).
HRESULT certificate_unwrap(PCCERT_CONTEXT certificate, const byte_buffer& wrapped, key256& key);

// An RSA PKCS#1 v1.5 signature over the SHA-256 of `data`, least significant byte first as
// CryptoAPI writes it, made with the certificate's private key (found as for unwrapping:
// NTE_NO_KEY without one). Throws std::bad_alloc.
HRESULT certificate_sign(PCCERT_CONTEXT certificate, const byte_buffer& data, byte_buffer& signature);
// S_OK when `signature` is one that the certificate's private key made over `data`, checked with
// its public key alone; NTE_BAD_SIGNATURE otherwise (an empty signature included).
HRESULT certificate_verify(PCCERT_CONTEXT certificate, const byte_buffer& data, const byte_buffer& signature);

}  // namespace kv::provider
