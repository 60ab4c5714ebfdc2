#include "provider/keystore_credentials.h"

#include <cstring>

#include "types/wide.h"
#include "win/cert_owners.h"
#include "win/kv_hresult.h"

namespace kv::provider {

namespace {

constexpr std::size_t max_password_units = 1024;
// A certificate keystore derives nothing from a secret; its index still holds a valid factor.
constexpr std::uint32_t certificate_iterations = 1;

HRESULT derive_from_password(const wchar_t* password, const std::uint8_t (&salt)[salt_size],
                             std::uint32_t iterations, key256& key) noexcept {
  return derive_key(password, kv::wide_length(password) * sizeof(wchar_t), salt, iterations, key);
}

// What the custodian copy binds in: a version 1 protection its id, later versions the whole
// authenticated header, so that a header rewritten as an older version no longer opens it.
void custodian_entropy(const index_record& index, byte_buffer& entropy) {
  if (index.protection_version < 2) {
    entropy.assign(index.protection_id, index.protection_id + id_size);
  } else {
    index_authenticated_bytes(index, entropy);
  }
}

// The certificate that a certificate keystore keeps; a version 1 protection keeps none.
HRESULT kept_certificate(const index_record& index, kv::unique_cert_context& context) {
  if (index.certificate.empty()) return NTE_BAD_KEY_STATE;
  context.reset(CertCreateCertificateContext(X509_ASN_ENCODING, index.certificate.data(),
                                             static_cast<DWORD>(index.certificate.size())));
  return context ? S_OK : NTE_BAD_DATA;
}

// ERROR_INVALID_PASSWORD unless `certificate` has the digest `expected`.
HRESULT check_certificate(PCCERT_CONTEXT certificate, const std::uint8_t (&expected)[digest_size]) noexcept {
  std::uint8_t digest[digest_size];
  KV_RETURN_IF_FAILED(certificate_digest(certificate, digest));
  return same_bytes(digest, expected, digest_size) ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
}

// The credential's key of a certificate keystore: wrapped to the certificate's public key, so
// that only its private key opens the keystore; the public certificate alone opens nothing.
HRESULT unwrap_with_certificate(const index_record& index, PCCERT_CONTEXT certificate, key256& sealing_key) {
  if (index.certificate.empty()) return NTE_BAD_KEY_STATE;  // version 1: bound by the digest only
  std::uint8_t kept[digest_size];
  HRESULT hr = sha256(index.certificate.data(), index.certificate.size(), kept);
  if (SUCCEEDED(hr)) hr = check_certificate(certificate, kept);
  if (SUCCEEDED(hr)) hr = certificate_unwrap(certificate, index.wrapped, sealing_key);
  return hr == seal_mismatch ? NTE_BAD_DATA : hr;
}

// Signs a certificate keystore's index with the certificate's private key. NTE_NO_KEY when that
// key is not at hand: the index then stays unsigned, trusted through the custodian copy only,
// until its owner's next write where the key is.
HRESULT sign_index(index_record& index, PCCERT_CONTEXT certificate) {
  byte_buffer signed_bytes;
  index_signed_bytes(index, signed_bytes);
  byte_buffer signature;
  const HRESULT hr = certificate_sign(certificate, signed_bytes, signature);
  if (SUCCEEDED(hr)) index.signature.swap(signature);
  return hr;
}

// NTE_BAD_SIGNATURE unless the certificate's private key signed the index as it stands: the
// public certificate, which anyone may hold, is enough to write a whole certificate index, keys
// wrapped to it included.
HRESULT check_index_signature(const index_record& index, PCCERT_CONTEXT certificate) {
  byte_buffer signed_bytes;
  index_signed_bytes(index, signed_bytes);
  return certificate_verify(certificate, signed_bytes, index.signature);
}

// The header of a new protection of the current version, with a fresh id, salt and time; the
// certificate fields, the seals and the signature are left empty for the steps that follow.
HRESULT begin_protection(bool by_password, std::uint32_t work_factor, index_record& index) {
  index.version = index_version;
  index.protection_version = index_version;
  index.signature.clear();
  index.flags = 0;
  index.kind = by_password ? protection_kind::password : protection_kind::certificate;
  index.created = file_time_now();
  index.iterations = by_password ? work_factor : certificate_iterations;
  index.certificate.clear();
  index.wrapped.clear();
  KV_RETURN_IF_FAILED(random_bytes(index.protection_id, id_size));
  return random_bytes(index.salt, salt_size);
}

// The key that seals the keystore key under the credential: derived from a password, or drawn
// at random and wrapped to the certificate's public key, which the index then keeps.
HRESULT make_credential_key(const credential& fresh, index_record& index, key256& sealing_key) {
  if (fresh.type == credential::kind::password)
    return derive_from_password(fresh.password, index.salt, index.iterations, sealing_key);
  const PCCERT_CONTEXT certificate = fresh.certificate;
  if (!certificate->pbCertEncoded || certificate->cbCertEncoded == 0) return E_INVALIDARG;
  index.certificate.assign(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
  KV_RETURN_IF_FAILED(random_bytes(sealing_key.bytes, key_size));
  return certificate_wrap(certificate, sealing_key, index.wrapped);
}

// A certificate keystore seals its certificate's digest under the keystore key, so that no other
// certificate is swapped in unnoticed, and signs the index where the private key is at hand. A
// password keystore fills the field with random bytes.
HRESULT bind_credential(const credential& fresh, const key256& keystore_key, const byte_buffer& aad,
                        index_record& index) {
  if (fresh.type == credential::kind::password) return random_bytes(&index.binding, sizeof index.binding);
  secret_bytes<digest_size> digest;
  KV_RETURN_IF_FAILED(certificate_digest(fresh.certificate, digest.bytes));
  KV_RETURN_IF_FAILED(seal_block(keystore_key, aad.data(), aad.size(), digest.bytes, index.binding));
  const HRESULT hr = sign_index(index, fresh.certificate);
  return hr == NTE_NO_KEY ? S_OK : hr;
}

// A new protection for `keystore_key` in `index` (history untouched), always of the current
// version.
HRESULT build_protection(const credential& fresh, const key256& keystore_key, std::uint32_t work_factor,
                         index_record& index) {
  KV_RETURN_IF_FAILED(begin_protection(fresh.type == credential::kind::password, work_factor, index));
  byte_buffer aad;
  index_authenticated_bytes(index, aad);
  key256 sealing_key;
  KV_RETURN_IF_FAILED(make_credential_key(fresh, index, sealing_key));
  KV_RETURN_IF_FAILED(seal_block(sealing_key, aad.data(), aad.size(), keystore_key.bytes, index.keystore_key));
  KV_RETURN_IF_FAILED(bind_credential(fresh, keystore_key, aad, index));
  byte_buffer entropy;
  custodian_entropy(index, entropy);
  return custodian_protect(keystore_key, entropy.data(), entropy.size(), index.custodian);
}

// What the history seal covers: the header as additional data, the history's digest as content.
HRESULT history_parts(const index_record& index, byte_buffer& aad, std::uint8_t (&digest)[digest_size]) {
  byte_buffer history;
  index_authenticated_bytes(index, aad);
  history_authenticated_bytes(index, history);
  return sha256(history.data(), history.size(), digest);
}

// Seals the history's digest under the keystore key; called whenever the header or the history
// changed. A version 1 protection has no history seal.
HRESULT seal_history(index_record& index, const key256& keystore_key) {
  if (index.protection_version < 2) return S_OK;
  byte_buffer aad;
  std::uint8_t digest[digest_size];
  KV_RETURN_IF_FAILED(history_parts(index, aad, digest));
  return seal_block(keystore_key, aad.data(), aad.size(), digest, index.history_seal);
}

// NTE_BAD_DATA unless the history is the one the keystore key sealed. A version 1 protection has no
// seal: its history counts as it is until the next protection change seals it.
HRESULT check_history(const index_record& index, const key256& keystore_key) {
  if (index.protection_version < 2) return S_OK;
  byte_buffer aad;
  std::uint8_t digest[digest_size];
  std::uint8_t sealed_digest[digest_size];
  HRESULT hr = history_parts(index, aad, digest);
  if (SUCCEEDED(hr)) hr = open_block(keystore_key, aad.data(), aad.size(), index.history_seal, sealed_digest);
  if (hr == seal_mismatch || (SUCCEEDED(hr) && !same_bytes(digest, sealed_digest, digest_size))) return NTE_BAD_DATA;
  return hr;
}

HRESULT add_to_history(index_record& index, const wchar_t* password, std::uint32_t work_factor) {
  history_entry entry;
  entry.iterations = work_factor;
  KV_RETURN_IF_FAILED(random_bytes(entry.salt, salt_size));
  key256 hash;
  KV_RETURN_IF_FAILED(derive_from_password(password, entry.salt, work_factor, hash));
  std::memcpy(entry.hash, hash.bytes, key_size);
  const std::uint32_t kept = index.history_count < history_capacity ? index.history_count : history_capacity - 1;
  for (std::uint32_t i = kept; i > 0; --i) index.history[i] = index.history[i - 1];
  index.history[0] = entry;
  index.history_count = kept + 1;
  SecureZeroMemory(entry.hash, key_size);
  return S_OK;
}

// Signs a certificate index that the custodian copy vouched for and that is not signed yet, when
// the private key is at hand and the key it wraps proves to be the custodian's. Anything short of
// that leaves the index as it is.
HRESULT sign_if_unsigned(opened_keystore& keystore, const key256& keystore_key, const interrupt_hook& interrupt) {
  index_record& index = keystore.index;
  // A signature that is there was made with the protection (only a new protection changes what
  // it covers); one altered since is refused where it counts, on the way through the private key.
  if (index.kind != protection_kind::certificate || index.certificate.empty() || !index.signature.empty()) return S_OK;
  kv::unique_cert_context kept;
  if (FAILED(kept_certificate(index, kept))) return S_OK;
  // Only what the custodian's keystore key stands behind is signed: a wrapped key and sealed
  // keystore key written beside a genuine custodian copy by someone else stay unsigned.
  key256 wrapped_key;
  if (FAILED(unlock(index, credential::of_certificate(kept.get()), wrapped_key)) ||
      !same_bytes(wrapped_key.bytes, keystore_key.bytes, key_size) || FAILED(sign_index(index, kept.get())))
    return S_OK;
  index.version = index_version;  // the first version with room for a signature
  return write_index(keystore.where, index, interrupt);
}

// The seals' public parts: a password seal with a fresh salt, a certificate seal naming the
// certificate the keystore keeps (when it keeps one) and the custodian seal last.
HRESULT lay_out_seals(const index_record& source, std::uint32_t work_factor, export_record& file) {
  const bool to_certificate = !source.certificate.empty();
  file.seal_count = to_certificate ? 3 : 2;
  export_seal& by_password = file.seals[0];
  by_password.kind = seal_kind::password;
  by_password.iterations = work_factor;
  KV_RETURN_IF_FAILED(random_bytes(by_password.salt, salt_size));
  if (to_certificate) {
    export_seal& by_certificate = file.seals[1];
    by_certificate.kind = seal_kind::certificate;
    KV_RETURN_IF_FAILED(sha256(source.certificate.data(), source.certificate.size(), by_certificate.certificate));
  }
  file.seals[file.seal_count - 1].kind = seal_kind::custodian;
  return S_OK;
}

// The certificate the keystore keeps, once the keystore key proves it the one it vouches for:
// the binding holds its digest.
HRESULT vouched_certificate(const index_record& source, const key256& keystore_key,
                            const std::uint8_t (&digest)[digest_size], kv::unique_cert_context& kept) {
  byte_buffer aad;
  index_authenticated_bytes(source, aad);
  std::uint8_t bound[digest_size];
  const HRESULT hr = open_block(keystore_key, aad.data(), aad.size(), source.binding, bound);
  if (hr == seal_mismatch || (SUCCEEDED(hr) && !same_bytes(bound, digest, digest_size))) return NTE_BAD_DATA;
  KV_RETURN_IF_FAILED(hr);
  return kept_certificate(source, kept);
}

HRESULT seal_payload(const key256& content_key, const byte_buffer& aad, const export_payload& payload,
                     export_record& file) {
  byte_buffer plain;
  encode_payload(payload, plain);
  file.cipher.resize(plain.size());
  return seal_bytes(content_key, aad.data(), aad.size(), plain.data(), plain.size(), file.nonce, file.cipher.data(),
                    file.tag);
}

// The export file's seal of the opener's kind; null when it has none.
const export_seal* seal_for(const export_record& file, const credential& opener) noexcept {
  const seal_kind wanted = opener.type == credential::kind::password      ? seal_kind::password
                           : opener.type == credential::kind::certificate ? seal_kind::certificate
                                                                          : seal_kind::custodian;
  for (std::uint32_t i = 0; i < file.seal_count; ++i)
    if (file.seals[i].kind == wanted) return &file.seals[i];
  return nullptr;
}

HRESULT open_content_key(const export_record& file, const export_seal& seal, const credential& opener,
                         const byte_buffer& aad, key256& content_key) {
  if (seal.kind == seal_kind::custodian) return custodian_open(seal.custodian, aad.data(), aad.size(), content_key);
  HRESULT hr = S_OK;
  if (seal.kind == seal_kind::certificate) {
    // A version 1 certificate seal opens with the public certificate alone: not trusted.
    if (file.version < 2) return NTE_BAD_KEY_STATE;
    hr = check_certificate(opener.certificate, seal.certificate);
    if (SUCCEEDED(hr)) hr = certificate_unwrap(opener.certificate, seal.wrapped, content_key);
    return hr == seal_mismatch ? NTE_BAD_DATA : hr;
  }
  key256 sealing_key;
  hr = derive_from_password(opener.password, seal.salt, seal.iterations, sealing_key);
  if (SUCCEEDED(hr)) hr = open_block(sealing_key, aad.data(), aad.size(), seal.content_key, content_key.bytes);
  return hr == seal_mismatch ? HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD) : hr;
}

HRESULT open_payload(const export_record& file, const key256& content_key, const byte_buffer& aad,
                     export_payload& payload) {
  byte_buffer plain(file.cipher.size());
  const HRESULT hr = open_bytes(content_key, aad.data(), aad.size(), file.nonce, file.cipher.data(),
                                file.cipher.size(), file.tag, plain.data());
  if (hr == seal_mismatch) return NTE_BAD_DATA;
  KV_RETURN_IF_FAILED(hr);
  return decode_payload(plain, payload);
}

}  // namespace

HRESULT check_password(const wchar_t* password, bool must_have_text) noexcept {
  if (!password) return E_INVALIDARG;
  const std::size_t length = kv::wide_length(password);
  if (length > max_password_units || (must_have_text && length == 0)) return E_INVALIDARG;
  return S_OK;
}

HRESULT check_new_credential(const credential& fresh) noexcept {
  switch (fresh.type) {
    case credential::kind::password:
      return check_password(fresh.password, true);
    case credential::kind::certificate:
      return fresh.certificate ? S_OK : E_INVALIDARG;
    default:
      return E_INVALIDARG;
  }
}

HRESULT check_opener(const credential& opener) noexcept {
  switch (opener.type) {
    case credential::kind::password:
      return check_password(opener.password, false);
    case credential::kind::certificate:
      return opener.certificate ? S_OK : E_INVALIDARG;
    default:
      return S_OK;
  }
}

HRESULT protect_anew(const credential& fresh, std::uint32_t work_factor, const index_record* previous,
                     key256& keystore_key, index_record& index) {
  KV_RETURN_IF_FAILED(random_bytes(keystore_key.bytes, key_size));
  KV_RETURN_IF_FAILED(build_protection(fresh, keystore_key, work_factor, index));
  if (previous) {
    index.history_count = previous->history_count;
    for (std::uint32_t i = 0; i < index.history_count; ++i) index.history[i] = previous->history[i];
  }
  if (fresh.type == credential::kind::password)
    KV_RETURN_IF_FAILED(add_to_history(index, fresh.password, work_factor));
  return seal_history(index, keystore_key);
}

HRESULT unlock(const index_record& index, const credential& given, key256& keystore_key) {
  if (given.type == credential::kind::none) return open_custodian(index, keystore_key);
  const bool by_password = given.type == credential::kind::password;
  if (index.kind != (by_password ? protection_kind::password : protection_kind::certificate)) return NTE_BAD_KEY_STATE;
  byte_buffer aad;
  index_authenticated_bytes(index, aad);
  key256 sealing_key;
  HRESULT hr = by_password ? derive_from_password(given.password, index.salt, index.iterations, sealing_key)
                           : unwrap_with_certificate(index, given.certificate, sealing_key);
  if (SUCCEEDED(hr)) hr = open_block(sealing_key, aad.data(), aad.size(), index.keystore_key, keystore_key.bytes);
  if (hr != seal_mismatch) return hr;
  // The certificate was checked before: a seal that its key does not open was altered.
  return by_password ? HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD) : NTE_BAD_DATA;
}

HRESULT open_custodian(const index_record& index, key256& keystore_key) {
  byte_buffer entropy;
  custodian_entropy(index, entropy);
  return custodian_open(index.custodian, entropy.data(), entropy.size(), keystore_key);
}

bool certificate_can_reopen(const index_record& index, HRESULT custodian_result) noexcept {
  return custodian_result == NTE_PERM && index.kind == protection_kind::certificate && !index.certificate.empty();
}

// The custodian copy, which only the account that made it opens, vouches for the index; without
// it, only an index that the certificate's private key signed is trusted.
HRESULT open_keystore_key(opened_keystore& keystore, const interrupt_hook& interrupt, key256& keystore_key) {
  const HRESULT hr = open_custodian(keystore.index, keystore_key);
  if (SUCCEEDED(hr)) return sign_if_unsigned(keystore, keystore_key, interrupt);
  if (!certificate_can_reopen(keystore.index, hr)) return hr;
  kv::unique_cert_context kept;
  if (FAILED(kept_certificate(keystore.index, kept))) return hr;
  KV_RETURN_IF_FAILED(check_index_signature(keystore.index, kept.get()));
  if (FAILED(unlock(keystore.index, credential::of_certificate(kept.get()), keystore_key))) return hr;
  return keep_custodian(keystore, keystore_key, interrupt);
}

HRESULT open_with_credential(opened_keystore& keystore, const credential& given, const interrupt_hook& interrupt,
                             key256& keystore_key) {
  KV_RETURN_IF_FAILED(unlock(keystore.index, given, keystore_key));
  return keep_custodian(keystore, keystore_key, interrupt);
}

HRESULT keep_custodian(opened_keystore& keystore, const key256& keystore_key, const interrupt_hook& interrupt) {
  key256 current;
  if (SUCCEEDED(open_custodian(keystore.index, current)) && same_bytes(current.bytes, keystore_key.bytes, key_size))
    return S_OK;
  byte_buffer entropy;
  custodian_entropy(keystore.index, entropy);
  KV_RETURN_IF_FAILED(custodian_protect(keystore_key, entropy.data(), entropy.size(), keystore.index.custodian));
  return write_index(keystore.where, keystore.index, interrupt);
}

HRESULT in_history(const index_record& index, const key256& keystore_key, const wchar_t* password, bool& found) {
  found = false;
  KV_RETURN_IF_FAILED(check_history(index, keystore_key));
  for (std::uint32_t i = 0; i < index.history_count && !found; ++i) {
    key256 hash;
    KV_RETURN_IF_FAILED(derive_from_password(password, index.history[i].salt, index.history[i].iterations, hash));
    found = same_bytes(hash.bytes, index.history[i].hash, key_size);
  }
  return S_OK;
}

HRESULT open_secret(const key256& keystore_key, const key_record& record, key256& secret) {
  byte_buffer aad;
  key_authenticated_bytes(record, aad);
  const HRESULT hr = open_block(keystore_key, aad.data(), aad.size(), record.secret, secret.bytes);
  return hr == seal_mismatch ? NTE_BAD_DATA : hr;
}

HRESULT seal_secret(const key256& keystore_key, key_record& record, const key256& secret) {
  byte_buffer aad;
  key_authenticated_bytes(record, aad);
  return seal_block(keystore_key, aad.data(), aad.size(), secret.bytes, record.secret);
}

HRESULT seal_export(const index_record& source, const key256& keystore_key, const export_payload& payload,
                    const wchar_t* password, std::uint32_t work_factor, export_record& file) {
  KV_RETURN_IF_FAILED(lay_out_seals(source, work_factor, file));
  export_seal& by_password = file.seals[0];
  export_seal& by_custodian = file.seals[file.seal_count - 1];
  byte_buffer aad;
  export_authenticated_bytes(file, aad);
  key256 content_key;
  key256 sealing_key;
  KV_RETURN_IF_FAILED(random_bytes(content_key.bytes, key_size));
  KV_RETURN_IF_FAILED(derive_from_password(password, by_password.salt, by_password.iterations, sealing_key));
  KV_RETURN_IF_FAILED(seal_block(sealing_key, aad.data(), aad.size(), content_key.bytes, by_password.content_key));
  if (!source.certificate.empty()) {
    export_seal& by_certificate = file.seals[1];
    kv::unique_cert_context kept;
    KV_RETURN_IF_FAILED(vouched_certificate(source, keystore_key, by_certificate.certificate, kept));
    KV_RETURN_IF_FAILED(certificate_wrap(kept.get(), content_key, by_certificate.wrapped));
  }
  KV_RETURN_IF_FAILED(custodian_protect(content_key, aad.data(), aad.size(), by_custodian.custodian));
  return seal_payload(content_key, aad, payload, file);
}

HRESULT open_export(const export_record& file, const credential& opener, export_payload& payload) {
  byte_buffer aad;
  export_authenticated_bytes(file, aad);
  const export_seal* seal = seal_for(file, opener);
  if (!seal) return NTE_BAD_KEY_STATE;
  key256 content_key;
  KV_RETURN_IF_FAILED(open_content_key(file, *seal, opener, aad, content_key));
  return open_payload(file, content_key, aad, payload);
}

}  // namespace kv::provider
