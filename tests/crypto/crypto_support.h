#pragma once
// Helpers of the certificate-trust tests: the fixtures as CryptoAPI objects, the current user's
// system stores, and the real trace file.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cert_fixtures.h"
#include "win/cert_owners.h"

namespace crypto_test {

kv::unique_cert_context decode_certificate(const der_blob& der);

// Serial number bytes least significant first, as CERT_INFO holds them (0x1003 -> 03 10).
std::vector<BYTE> serial_bytes(std::uint32_t serial);
// The encoded subject name of a CA fixture: the issuer name of the certificates it issued.
std::vector<BYTE> subject_name(const der_blob& ca);
CRYPT_INTEGER_BLOB blob_of(std::vector<BYTE>& bytes);
// Base64 without line breaks, as requests carry serial numbers and issuer names.
std::wstring base64(const std::vector<BYTE>& bytes);

// The current user's system stores (registry part only).
void add_certificate(const wchar_t* store, const der_blob& der);
void add_crl(const wchar_t* store, const der_blob& der);
void add_encoded_crl(const wchar_t* store, const std::vector<BYTE>& der);
// Removes every certificate and CRL from the user's "MY", "CA" and "Disallowed" stores.
void clean_stores();
// The order in which the system enumerates the user's "CA" and "MY" stores (both must exist).
std::vector<std::wstring> ca_and_my_in_scan_order();

// What the system's formatter makes of an encoded CRL reason code.
std::wstring formatted_reason(std::vector<BYTE> encoded);

// The trace file of this user, switched on through the registry.
class trace_reader {
 public:
  trace_reader();  // switches tracing on and marks the current end of the file
  // This process's lines written since construction, each without time, process and thread
  // prefixes and without the line feed, restricted to those starting with `prefix`.
  std::vector<std::wstring> lines(const wchar_t* prefix = L"KV_csp::") const;
  // Removes the switch again, so that later tests in the same Wine prefix find tracing off.
  static void switch_off();

 private:
  std::wstring path_;
  std::uint64_t mark_ = 0;
};

}  // namespace crypto_test
