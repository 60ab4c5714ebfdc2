#pragma once
// What opens a keystore (docs/provider.md, "Protection" and "Export files"): the credential an
// operation receives, the protection that the index builds from it, the custodian copy, the
// signature of a certificate keystore's index, the sealed password history, the key secrets
// sealed under the keystore key, and the seals of an export file.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

#include "provider/keystore_entries.h"
#include "provider/keystore_format.h"
#include "provider/provider_crypto.h"

namespace kv::provider {

// A credential as an operation receives it. `none` means the caller gave nothing: the keystore
// key then comes from the custodian copy (or, for an export file, its custodian seal).
struct credential {
  enum class kind { none, password, certificate };
  kind type = kind::none;
  const wchar_t* password = nullptr;
  PCCERT_CONTEXT certificate = nullptr;

  static credential nothing() { return {}; }
  static credential of_password(const wchar_t* text) { return {kind::password, text, nullptr}; }
  static credential of_certificate(PCCERT_CONTEXT context) { return {kind::certificate, nullptr, context}; }
};

// E_INVALIDARG for no password, or one over 1,024 units or, with `must_have_text`, empty.
HRESULT check_password(const wchar_t* password, bool must_have_text) noexcept;
// A new protection is a password with text or a certificate.
HRESULT check_new_credential(const credential& fresh) noexcept;
// What opens an export file: a usable password or certificate, or nothing.
HRESULT check_opener(const credential& opener) noexcept;

// A new keystore key and its protection by `fresh` in `index`, of the current version, with the
// password history of `previous` (none: empty) and a password added to it, sealed.
HRESULT protect_anew(const credential& fresh, std::uint32_t work_factor, const index_record* previous,
                     key256& keystore_key, index_record& index);

// The keystore key through the given credential, or through the custodian copy for `none`.
HRESULT unlock(const index_record& index, const credential& given, key256& keystore_key);
HRESULT open_custodian(const index_record& index, key256& keystore_key);
// A custodian copy refused with NTE_PERM can still be reopened through the private key of the
// certificate the keystore is protected with.
bool certificate_can_reopen(const index_record& index, HRESULT custodian_result) noexcept;

// The keystore key through the custodian copy or, when that no longer opens, through the
// private key of a certificate keystore's certificate in the user's "MY" store, for an index
// that this private key signed (NTE_BAD_SIGNATURE for any other). Writes the index when it signs
// it or seals the custodian copy again.
HRESULT open_keystore_key(opened_keystore& keystore, const interrupt_hook& interrupt, key256& keystore_key);
// The keystore key through `given`, after which a custodian copy that this account cannot open
// is sealed again for it.
HRESULT open_with_credential(opened_keystore& keystore, const credential& given, const interrupt_hook& interrupt,
                             key256& keystore_key);
// Seals the custodian copy again for this account unless it opens to `keystore_key` already.
HRESULT keep_custodian(opened_keystore& keystore, const key256& keystore_key, const interrupt_hook& interrupt);

// Whether `password` is in the history, once the history proves whole (NTE_BAD_DATA otherwise).
HRESULT in_history(const index_record& index, const key256& keystore_key, const wchar_t* password, bool& found);

// A key's secret under the keystore key, authenticated with the rest of its key file.
HRESULT open_secret(const key256& keystore_key, const key_record& record, key256& secret);
HRESULT seal_secret(const key256& keystore_key, key_record& record, const key256& secret);

// An export file of `payload` from the keystore of `source`, sealed under `password` always,
// the public key of the certificate the keystore keeps (a version 1 certificate keystore keeps
// only a digest), and the exporting account's custodian seal always.
HRESULT seal_export(const index_record& source, const key256& keystore_key, const export_payload& payload,
                    const wchar_t* password, std::uint32_t work_factor, export_record& file);
// The payload of an export file through the seal that `opener` opens.
HRESULT open_export(const export_record& file, const credential& opener, export_payload& payload);

}  // namespace kv::provider
