#pragma once
// Files that the client tests hand to dodadev-call: written byte for byte, and the certificate
// fixtures in PEM form.
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "cert_fixtures.h"
#include "win/owners.h"

namespace client_test {

inline bool write_file(const std::wstring& path, const std::string& bytes) {
  const kv::unique_file file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

inline std::string der_of(const der_blob& der) {
  return std::string(reinterpret_cast<const char*>(der.data), der.size);
}

// "-----BEGIN CERTIFICATE-----", the Base64 lines, "-----END CERTIFICATE-----", CR LF line ends.
inline std::string pem_of(const der_blob& der) {
  DWORD size = 0;
  CryptBinaryToStringA(der.data, der.size, CRYPT_STRING_BASE64HEADER, nullptr, &size);
  std::string pem(size, '\0');
  CryptBinaryToStringA(der.data, der.size, CRYPT_STRING_BASE64HEADER, pem.data(), &size);
  pem.resize(size);
  return pem;
}

}  // namespace client_test
