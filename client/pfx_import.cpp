#include "client/pfx_import.h"

#include "win/cert_owners.h"

namespace kv::client {

namespace {

constexpr std::size_t largest_pfx_file = 16 * 1024 * 1024;

bool has_private_key(PCCERT_CONTEXT certificate) noexcept {
  DWORD size = 0;
  return CertGetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) && size > 0;
}

}  // namespace

HRESULT read_pfx_file(const wchar_t* path, file_bytes& pfx, const wchar_t** problem) {
  const HRESULT hr = read_file_bytes(path, largest_pfx_file, pfx);
  if (FAILED(hr)) {
    *problem = L"the file cannot be read";
    return hr;
  }
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size), const_cast<BYTE*>(pfx.data())};
  if (pfx.size == 0 || !PFXIsPFXBlob(&blob)) {
    *problem = L"the file is not a PFX (PKCS #12) file";
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  return S_OK;
}

HRESULT import_pfx(const file_bytes& pfx_bytes, const wchar_t* password, imported_certificates& added,
                   const wchar_t** problem) {
  added.clear();
  HRESULT hr = S_OK;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx_bytes.size), const_cast<BYTE*>(pfx_bytes.data())};
  const kv::unique_cert_store pfx(PFXImportCertStore(&blob, password ? password : L"", CRYPT_USER_KEYSET));
  if (!pfx) {
    hr = HRESULT_FROM_WIN32(GetLastError());
    // Windows answers a wrong password with ERROR_INVALID_PASSWORD, Wine 8 with E_FAIL.
    *problem = hr == HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD)
                   ? L"the password is wrong"
                   : L"the file cannot be opened: a wrong password, or a protection this system does not read";
    return FAILED(hr) ? hr : E_FAIL;
  }
  const kv::unique_cert_store my(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
  if (!my) {
    *problem = L"the user's MY store cannot be opened";
    return HRESULT_FROM_WIN32(GetLastError());
  }
  // The enumeration frees each context when it passes on to the next one.
  for (PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(pfx.get(), nullptr); certificate;
       certificate = CertEnumCertificatesInStore(pfx.get(), certificate)) {
    if (!has_private_key(certificate)) continue;
    if (!CertAddCertificateContextToStore(my.get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      hr = HRESULT_FROM_WIN32(GetLastError());
      CertFreeCertificateContext(certificate);
      *problem = L"the user's MY store refused a certificate";
      return hr;
    }
    added.push_back({subject_of(certificate), identity_of(certificate)});
  }
  // Wine writes a system store back only when it is committed or closed: now, before the report.
  CertControlStore(my.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
  if (added.empty()) {
    *problem = L"the file holds no certificate with a private key";
    return CRYPT_E_NOT_FOUND;
  }
  return S_OK;
}

}  // namespace kv::client
