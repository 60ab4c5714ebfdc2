#include "client/certificate_file.h"

#include <cstring>

#include "client/file_text.h"

namespace kv::client {

namespace {

// Far above any certificate; a larger file is not one.
constexpr std::size_t largest_certificate_file = 1024 * 1024;

text base64_of(const CRYPT_INTEGER_BLOB& blob) {
  DWORD units = 0;
  if (!CryptBinaryToStringW(blob.pbData, blob.cbData, CRYPT_STRING_BASE64, nullptr, &units)) return {};
  text encoded(units, L'\0');
  if (!CryptBinaryToStringW(blob.pbData, blob.cbData, CRYPT_STRING_BASE64, encoded.data(), &units)) return {};
  // The encoder breaks lines (not every system knows CRYPT_STRING_NOCRLF); a request carries none.
  text joined;
  for (wchar_t c : encoded) {
    if (c && c != L'\r' && c != L'\n') joined += c;
  }
  return joined;
}

const unsigned char* find_bytes(const unsigned char* data, std::size_t size, const char* wanted) noexcept {
  const std::size_t length = std::strlen(wanted);
  for (std::size_t at = 0; at + length <= size; ++at) {
    if (std::memcmp(data + at, wanted, length) == 0) return data + at;
  }
  return nullptr;
}

}  // namespace

certificate_identity identity_of(PCCERT_CONTEXT certificate) {
  return {base64_of(certificate->pCertInfo->SerialNumber), base64_of(certificate->pCertInfo->Issuer)};
}

text subject_of(PCCERT_CONTEXT certificate) {
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  const DWORD units = CertNameToStrW(X509_ASN_ENCODING, subject, flags, nullptr, 0);
  if (units <= 1) return {};
  text name(units, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, subject, flags, name.data(), units);
  name.resize(units - 1);
  return name;
}

HRESULT read_certificate_file(const wchar_t* path, kv::unique_cert_context& certificate, const wchar_t** problem) {
  certificate.reset();
  file_bytes bytes;
  HRESULT hr = read_file_bytes(path, largest_certificate_file, bytes);
  if (FAILED(hr)) {
    *problem = hr == HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE) ? L"the file is too large for a certificate"
                                                              : L"the file cannot be read";
    return hr;
  }
  const unsigned char* der = bytes.data();
  DWORD der_size = static_cast<DWORD>(bytes.size);
  kv::wiped_mem decoded;
  if (const unsigned char* block = find_bytes(bytes.data(), bytes.size, "-----BEGIN CERTIFICATE-----")) {
    const auto* pem = reinterpret_cast<const char*>(block);
    const auto pem_size = static_cast<DWORD>(bytes.size - static_cast<std::size_t>(block - bytes.data()));
    der_size = 0;
    if (CryptStringToBinaryA(pem, pem_size, CRYPT_STRING_BASE64HEADER, nullptr, &der_size, nullptr, nullptr)) {
      decoded = kv::wiped_mem(der_size);
    }
    if (!decoded || !CryptStringToBinaryA(pem, pem_size, CRYPT_STRING_BASE64HEADER, decoded.as<BYTE>(), &der_size,
                                          nullptr, nullptr)) {
      *problem = L"the file's CERTIFICATE block is not Base64";
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
    der = decoded.as<const unsigned char>();
  } else if (find_bytes(bytes.data(), bytes.size, "-----BEGIN ")) {
    *problem = L"the file is PEM without a CERTIFICATE block";
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  certificate.reset(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der, der_size));
  if (!certificate) {
    hr = HRESULT_FROM_WIN32(GetLastError());
    *problem = L"the file holds no certificate (neither PEM nor DER)";
    return FAILED(hr) ? hr : HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  return S_OK;
}

}  // namespace kv::client
