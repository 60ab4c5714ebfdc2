#include "crypto_support.h"

#include <cwchar>
#include <stdexcept>

#include "trace/trace.h"
#include "win/owners.h"

namespace crypto_test {

namespace {

constexpr DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

kv::unique_cert_store open_user_store(const wchar_t* name) {
  kv::unique_cert_store store(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, name));
  if (!store) throw std::runtime_error("cannot open a user store");
  return store;
}

// Removes what the store shows. Wine shows only one CRL per issuer although the registry may hold
// more, so the caller repeats until a fresh view is empty.
bool remove_visible(const wchar_t* name) {
  kv::unique_cert_store store = open_user_store(name);
  bool removed = false;
  while (PCCERT_CONTEXT certificate = CertEnumCertificatesInStore(store.get(), nullptr)) {
    CertDeleteCertificateFromStore(certificate);
    removed = true;
  }
  while (PCCRL_CONTEXT crl = CertEnumCRLsInStore(store.get(), nullptr)) {
    CertDeleteCRLFromStore(crl);
    removed = true;
  }
  return removed;
}

BOOL WINAPI collect_store(const void* name, DWORD, PCERT_SYSTEM_STORE_INFO, void*, void* names) {
  static_cast<std::vector<std::wstring>*>(names)->push_back(static_cast<const wchar_t*>(name));
  return TRUE;
}

}  // namespace

kv::unique_cert_context decode_certificate(const der_blob& der) {
  kv::unique_cert_context context(CertCreateCertificateContext(encoding, der.data, der.size));
  if (!context) throw std::runtime_error("fixture does not decode");
  return context;
}

std::vector<BYTE> serial_bytes(std::uint32_t serial) {
  std::vector<BYTE> bytes;
  do {
    bytes.push_back(static_cast<BYTE>(serial & 0xFF));
    serial >>= 8;
  } while (serial != 0);
  return bytes;
}

std::vector<BYTE> subject_name(const der_blob& ca) {
  kv::unique_cert_context context = decode_certificate(ca);
  const CERT_NAME_BLOB& subject = context.get()->pCertInfo->Subject;
  return std::vector<BYTE>(subject.pbData, subject.pbData + subject.cbData);
}

CRYPT_INTEGER_BLOB blob_of(std::vector<BYTE>& bytes) {
  return CRYPT_INTEGER_BLOB{static_cast<DWORD>(bytes.size()), bytes.data()};
}

std::wstring base64(const std::vector<BYTE>& bytes) {
  DWORD units = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  CryptBinaryToStringW(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr, &units);
  std::wstring text(units, L'\0');
  CryptBinaryToStringW(bytes.data(), static_cast<DWORD>(bytes.size()), flags, text.data(), &units);
  text.resize(units);
  return text;
}

void add_certificate(const wchar_t* store, const der_blob& der) {
  kv::unique_cert_store opened = open_user_store(store);
  if (!CertAddEncodedCertificateToStore(opened.get(), encoding, der.data, der.size,
                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    throw std::runtime_error("cannot add a certificate");
  }
}

void add_encoded_crl(const wchar_t* store, const std::vector<BYTE>& der) {
  kv::unique_cert_store opened = open_user_store(store);
  if (!CertAddEncodedCRLToStore(opened.get(), encoding, der.data(), static_cast<DWORD>(der.size()),
                                CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
    throw std::runtime_error("cannot add a CRL");
  }
}

void add_crl(const wchar_t* store, const der_blob& der) {
  add_encoded_crl(store, std::vector<BYTE>(der.data, der.data + der.size));
}

void clean_stores() {
  for (const wchar_t* name : {L"MY", L"CA", L"Disallowed"}) {
    int rounds = 0;
    while (remove_visible(name)) {
      if (++rounds > 20) throw std::runtime_error("a store does not empty");
    }
  }
}

std::vector<std::wstring> ca_and_my_in_scan_order() {
  std::vector<std::wstring> all;
  CertEnumSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, nullptr, &all, collect_store);
  std::vector<std::wstring> order;
  for (const std::wstring& name : all) {
    if (name == L"CA" || name == L"MY") order.push_back(name);
  }
  if (order.size() != 2) throw std::runtime_error("\"CA\" and \"MY\" are not both enumerated");
  return order;
}

std::wstring formatted_reason(std::vector<BYTE> encoded) {
  wchar_t text[512];
  DWORD size = sizeof text;
  if (!CryptFormatObject(X509_ASN_ENCODING, 0, 0, nullptr, szOID_CRL_REASON_CODE, encoded.data(),
                         static_cast<DWORD>(encoded.size()), text, &size)) {
    throw std::runtime_error("the reason code does not format");
  }
  return text;
}

trace_reader::trace_reader() {
  kv::unique_hkey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Orvane\\Keldra\\Logging", 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    throw std::runtime_error("cannot create the trace switch");
  }
  const DWORD on = 1;
  RegSetValueExW(key.get(), L"EnableUserModeTrace", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
  kv::trace_seam::reset_cache();

  wchar_t folder[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) throw std::runtime_error("no temporary folder");
  path_ = std::wstring(folder, length) + L"TraceFile.kv";
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data)) {
    mark_ = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
}

void trace_reader::switch_off() {
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Orvane\\Keldra\\Logging", L"EnableUserModeTrace");
  kv::trace_seam::reset_cache();
}

std::vector<std::wstring> trace_reader::lines(const wchar_t* prefix) const {
  kv::unique_file file(CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
  std::vector<std::wstring> result;
  if (!file) return result;
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<LONGLONG>(mark_);
  SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
  std::wstring text;
  wchar_t buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read / sizeof(wchar_t));
  }
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);

  // "hh:mm:ss [pid] " starts every line; progress lines and reports go on with "P:%4d,T:%4d ".
  const std::wstring own = L" [" + std::to_wstring(GetCurrentProcessId()) + L"] ";
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t pid = line.find(own);
    if (pid == std::wstring::npos) continue;
    line.erase(0, pid + own.size());
    if (line.compare(0, 2, L"P:") == 0) {
      std::size_t thread = line.find(L",T:");
      if (thread == std::wstring::npos) continue;
      thread += 3;
      while (thread < line.size() && line[thread] == L' ') ++thread;
      while (thread < line.size() && line[thread] >= L'0' && line[thread] <= L'9') ++thread;
      line.erase(0, thread + 1);
    }
    if (line.compare(0, std::wcslen(prefix), prefix) == 0) result.push_back(line);
  }
  return result;
}

}  // namespace crypto_test
