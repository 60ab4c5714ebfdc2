#include "crypto/kv_csp.h"

#include <new>

#include "trace/trace.h"
#include "types/kv_string.h"

namespace {

constexpr DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Stores are opened with our provider, which must outlive each of them: without
// CERT_STORE_NO_CRYPT_RELEASE_FLAG closing the first store would release it. Lookups only read,
// and a store that does not exist yet (often "Disallowed") is not created by looking into it.
constexpr DWORD lookup_store_flags = CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG |
                                     CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG;

HCERTSTORE open_system_store(const wchar_t* name, HCRYPTPROV provider, DWORD flags) noexcept {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, provider, flags, name);
}

std::uint64_t file_time(const FILETIME& time) noexcept {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// ENUMERATED 8: the entry lifts an earlier revocation (removeFromCRL).
bool removes_from_crl(const CRYPT_OBJID_BLOB& reason) noexcept {
  return reason.cbData == 3 && reason.pbData[0] == 0x0A && reason.pbData[1] == 0x01 && reason.pbData[2] == 0x08;
}

// Applies the revocation lists of one store to the scan. Throws std::bad_alloc.
void scan_store(revocation_scan& scan, const wchar_t* store_name) {
  static const wchar_t name[] = L"KV_csp::enum_store_callback";
  kv::unique_cert_store store(open_system_store(store_name, scan.provider, lookup_store_flags));
  if (!store) return;

  CERT_NAME_BLOB issuer = scan.certificate->pCertInfo->Issuer;
  kv::unique_crl_context crl;
  for (;;) {
    // The enumeration frees the previous context itself.
    PCCRL_CONTEXT next = CertEnumCRLsInStore(store.get(), crl.release());
    crl.reset(next);
    if (!crl) break;

    // Serial numbers are unique only per issuer: another CA's list says nothing about this one.
    if (!CertCompareCertificateName(encoding, &issuer, &crl.get()->pCrlInfo->Issuer)) continue;
    PCRL_ENTRY entry = nullptr;
    if (!CertFindCertificateInCRL(scan.certificate, crl.get(), 0, nullptr, &entry) || !entry) continue;

    const std::uint64_t date = file_time(entry->RevocationDate);
    trace_report(name, L"Found matching CRL in store: %s\n", store_name);
    trace_report(name, L"Revocation date: %s\n", KV_string(KV_file_time{date}).text());

    // An entry without a reason code is a revocation for an unspecified reason (RFC 5280). The
    // formatted reason only feeds the report; the decision rests on the encoded value.
    const CERT_EXTENSION* reason = CertFindExtension(szOID_CRL_REASON_CODE, entry->cExtension, entry->rgExtension);
    if (reason) {
      wchar_t text[512];
      DWORD size = sizeof text;
      if (CryptFormatObject(X509_ASN_ENCODING, 0, 0, nullptr, szOID_CRL_REASON_CODE, reason->Value.pbData,
                            reason->Value.cbData, text, &size)) {
        trace_report(name, L"Reason code: %s\n", text);
      }
    } else {
      trace_report(name, L"Reason code: %s\n", L"unspecified");
    }

    // The newest entry decides.
    if (date <= scan.latest_revocation) continue;
    scan.latest_revocation = date;
    if (reason && removes_from_crl(reason->Value)) {
      trace_report(name, L"Setting non revoked!\n");
      scan.revoked = FALSE;
    } else {
      trace_report(name, L"Setting revoked!\n");
      scan.revoked = TRUE;
    }
  }
}

}  // namespace

KV_csp::KV_csp() {
  static const wchar_t name[] = L"KV_csp::KV_csp";
  trace_line(name, 0, nullptr);

  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, 0)) {
    provider = 0;
    // First use of the default container: create it.
    if (GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET) &&
        !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET)) {
      provider = 0;
      trace_report(name, L"Failed to acquire context!\n");
      trace_last_error(name);
    }
  }
  provider_.reset(provider);

  store_.reset(open_system_store(L"MY", provider_.get(),
                                 CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_NO_CRYPT_RELEASE_FLAG |
                                     CERT_STORE_READONLY_FLAG));
  if (!store_) {
    trace_report(name, L"Failed to open certificate store!\n");
    trace_last_error(name);
  }
}

KV_csp::~KV_csp() {
  try {
    trace_line(L"KV_csp::~KV_csp", 0, nullptr);
  } catch (const std::bad_alloc&) {
    // A destructor must not throw; the line is lost.
  }
  // The members close the store first, then release the provider.
}

KV_certificate KV_csp::get_certificate(const CRYPT_INTEGER_BLOB& serial_number, const CERT_NAME_BLOB& issuer) {
  trace_line(L"KV_csp::get_certificate", 0, nullptr);
  KV_certificate result;
  if (!store_) return result;

  CERT_INFO wanted{};
  wanted.SerialNumber = serial_number;
  wanted.Issuer = issuer;
  kv::unique_cert_context found(
      CertFindCertificateInStore(store_.get(), encoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
  if (!found) return result;

  if (is_revoked(found.get())) {
    trace_report(L"KV_csp::get_certificate", L"Certificate has been revoked!\n");
    return result;
  }
  result = KV_certificate(found.get());
  return result;
}

bool KV_csp::is_revoked(PCCERT_CONTEXT certificate) const {
  revocation_scan scan;
  scan.certificate = certificate;
  scan.provider = provider_.get();
  CertEnumSystemStore(CERT_SYSTEM_STORE_CURRENT_USER, nullptr, &scan, enum_store_callback);
  if (scan.out_of_memory) throw std::bad_alloc();
  if (scan.revoked) return true;

  kv::unique_cert_store disallowed(open_system_store(L"Disallowed", scan.provider, lookup_store_flags));
  if (!disallowed) return false;
  kv::unique_cert_context listed(
      CertFindCertificateInStore(disallowed.get(), encoding, 0, CERT_FIND_EXISTING, certificate, nullptr));
  return listed.is_valid();
}

BOOL WINAPI KV_csp::enum_store_callback(const void* store_name, DWORD, PCERT_SYSTEM_STORE_INFO, void*, void* scan) {
  auto& state = *static_cast<revocation_scan*>(scan);
  if (state.revoked) return TRUE;
  // No exception may unwind through the system's enumeration.
  try {
    scan_store(state, static_cast<const wchar_t*>(store_name));
  } catch (const std::bad_alloc&) {
    state.out_of_memory = true;
    return FALSE;
  }
  return TRUE;
}
