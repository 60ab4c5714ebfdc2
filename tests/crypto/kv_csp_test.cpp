#include "crypto/kv_csp.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "crypto_support.h"
#include "types/kv_alloc.h"

using namespace crypto_test;

namespace {

// Revocation dates of the fixtures (tests/support/make-cert-fixtures.sh), as the trace shows them.
const std::wstring older_date = L"2024-01-10 08:00:00";
const std::wstring newer_date = L"2024-03-15 12:30:45";

const std::wstring line_ctor = L"KV_csp::KV_csp[0]";
const std::wstring line_dtor = L"KV_csp::~KV_csp[0]";
const std::wstring line_get = L"KV_csp::get_certificate[0]";
const std::wstring line_revoked = L"KV_csp::get_certificate: Certificate has been revoked!";
const std::wstring scan = L"KV_csp::enum_store_callback: ";

// The reason texts come from the system's formatter: Wine shows the encoded bytes ("0a 01 01"),
// Windows a name.
std::wstring reason_line(std::vector<BYTE> encoded) { return scan + L"Reason code: " + formatted_reason(encoded); }
const std::vector<BYTE> key_compromise{0x0A, 0x01, 0x01};
const std::vector<BYTE> remove_from_crl{0x0A, 0x01, 0x08};

class csp : public ::testing::Test {
 protected:
  void SetUp() override { clean_stores(); }
  void TearDown() override {
    clean_stores();
    trace_reader::switch_off();
  }

  // Every fixture in place. CA-A's two lists go into "CA" and "MY", the one the scan visits
  // first getting crl-a-first: Wine visits "CA" first, Windows usually "MY".
  void install_everything() {
    for (const der_blob* user : {&fixture::user_valid, &fixture::user_keycompromise, &fixture::user_lifted,
                                 &fixture::user_relisted, &fixture::user_noreason, &fixture::user_disallowed,
                                 &fixture::user_otherca, &fixture::user_sticky}) {
      add_certificate(L"MY", *user);
    }
    add_certificate(L"CA", fixture::ca_a);
    const std::vector<std::wstring> order = ca_and_my_in_scan_order();
    first = order[0];
    second = order[1];
    add_crl(first.c_str(), fixture::crl_a_first);
    add_crl(first.c_str(), fixture::crl_b);
    add_crl(second.c_str(), fixture::crl_a_second);
    add_certificate(L"Disallowed", fixture::user_disallowed);
  }

  // One lookup as the call parameters make it: a fresh KV_csp per certificate.
  KV_certificate look_up(std::uint32_t serial, const der_blob& issuing_ca) {
    std::vector<BYTE> serial_number = serial_bytes(serial);
    std::vector<BYTE> issuer = subject_name(issuing_ca);
    CERT_NAME_BLOB issuer_blob = blob_of(issuer);
    KV_csp lookup;
    return lookup.get_certificate(blob_of(serial_number), issuer_blob);
  }

  std::wstring found_in(const std::wstring& store) { return scan + L"Found matching CRL in store: " + store; }
  std::wstring dated(const std::wstring& date) { return scan + L"Revocation date: " + date; }

  std::wstring first;
  std::wstring second;
};

// Wine keeps only one CRL per issuer in a store, so entries of one issuer meet only across stores
// here; the scan carries the newest revocation date from one store to the next.
TEST_F(csp, revocation_verdicts_follow_the_newest_entry_of_the_issuer) {
  install_everything();
  struct row {
    const char* name;
    std::uint32_t serial;
    bool usable;
    std::vector<std::wstring> scan_lines;
  };
  const std::wstring set_revoked = scan + L"Setting revoked!";
  const std::wstring set_not_revoked = scan + L"Setting non revoked!";
  const row rows[] = {
      {"listed nowhere", 0x1001, true, {}},
      {"keyCompromise", 0x1002, false,
       {found_in(first), dated(older_date), reason_line(key_compromise), set_revoked}},
      // The newer removeFromCRL of the first store lifts the older keyCompromise of the second.
      {"removeFromCRL newer than keyCompromise", 0x1003, true,
       {found_in(first), dated(newer_date), reason_line(remove_from_crl), set_not_revoked, found_in(second),
        dated(older_date), reason_line(key_compromise)}},
      {"keyCompromise newer than removeFromCRL", 0x1004, false,
       {found_in(first), dated(older_date), reason_line(remove_from_crl), set_not_revoked, found_in(second),
        dated(newer_date), reason_line(key_compromise), set_revoked}},
      {"entry without reason code", 0x1005, false,
       {found_in(first), dated(newer_date), scan + L"Reason code: unspecified", set_revoked}},
      {"in Disallowed only", 0x1006, false, {}},
      {"serial listed by another CA", 0x1007, true, {}},
      // Once a store has revoked, later stores are not looked at, newer entries or not.
      {"revoked by the first store", 0x1008, false,
       {found_in(first), dated(older_date), reason_line(key_compromise), set_revoked}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    trace_reader trace;
    KV_certificate result = look_up(r.serial, fixture::ca_a);
    EXPECT_EQ(result.empty(), !r.usable);
    if (r.usable) {
      ASSERT_FALSE(result.empty());
      EXPECT_EQ(static_cast<std::uint32_t>(result.context()->pCertInfo->SerialNumber.pbData[0]), r.serial & 0xFF);
    }
    std::vector<std::wstring> expected{line_ctor, line_get};
    expected.insert(expected.end(), r.scan_lines.begin(), r.scan_lines.end());
    if (!r.usable) expected.push_back(line_revoked);
    expected.push_back(line_dtor);
    EXPECT_EQ(trace.lines(), expected);
  }
}

TEST_F(csp, unknown_certificate_gives_empty_result_without_revocation_report) {
  install_everything();
  struct row {
    const char* name;
    std::uint32_t serial;
    const der_blob* issuer;
  };
  const row rows[] = {
      {"unknown serial number", 0x1099, &fixture::ca_a},
      {"serial number of another issuer", 0x1001, &fixture::ca_b},
      {"serial number most significant byte first", 0x0110, &fixture::ca_a},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    trace_reader trace;
    EXPECT_TRUE(look_up(r.serial, *r.issuer).empty());
    EXPECT_EQ(trace.lines(), (std::vector<std::wstring>{line_ctor, line_get, line_dtor}));
  }
}

TEST_F(csp, disallowed_store_revokes_without_any_crl) {
  add_certificate(L"MY", fixture::user_valid);
  add_certificate(L"Disallowed", fixture::user_valid);
  trace_reader trace;
  EXPECT_TRUE(look_up(0x1001, fixture::ca_a).empty());
  EXPECT_EQ(trace.lines(), (std::vector<std::wstring>{line_ctor, line_get, line_revoked, line_dtor}));
}

std::vector<BYTE> encode(LPCSTR type, const void* value) {
  DWORD size = 0;
  EXPECT_TRUE(CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, nullptr, &size));
  std::vector<BYTE> bytes(size);
  EXPECT_TRUE(CryptEncodeObjectEx(X509_ASN_ENCODING, type, value, 0, nullptr, bytes.data(), &size));
  bytes.resize(size);
  return bytes;
}

// A CRL of `issuer` with one entry, revoked on 2024-02-01 09:15:00 UTC. Its signature is junk:
// the check reads what the stores hold and verifies no signatures.
std::vector<BYTE> crl_with_reason(std::vector<BYTE> issuer, std::uint32_t serial, std::vector<BYTE> reason) {
  std::vector<BYTE> serial_number = serial_bytes(serial);
  FILETIME date{};
  SYSTEMTIME revoked{2024, 2, 0, 1, 9, 15, 0, 0};
  SystemTimeToFileTime(&revoked, &date);
  CERT_EXTENSION extension{const_cast<LPSTR>(szOID_CRL_REASON_CODE), FALSE,
                           {static_cast<DWORD>(reason.size()), reason.data()}};
  CRL_ENTRY entry{blob_of(serial_number), date, 1, &extension};
  CRL_INFO info{};
  info.dwVersion = CRL_V2;
  info.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SHA256RSA);
  info.Issuer = blob_of(issuer);
  info.ThisUpdate = date;
  info.cCRLEntry = 1;
  info.rgCRLEntry = &entry;
  std::vector<BYTE> to_be_signed = encode(X509_CERT_CRL_TO_BE_SIGNED, &info);
  BYTE signature[32] = {1};
  CERT_SIGNED_CONTENT_INFO signed_crl{};
  signed_crl.ToBeSigned = blob_of(to_be_signed);
  signed_crl.SignatureAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SHA256RSA);
  signed_crl.Signature = {sizeof signature, signature, 0};
  return encode(X509_CERT, &signed_crl);
}

TEST_F(csp, reason_code_the_formatter_cannot_show_still_revokes) {
  // Too long to show in the formatter's 1024 bytes, and no removeFromCRL either.
  std::vector<BYTE> reason{0x0A, 0x81, 0xC8};
  reason.resize(3 + 0xC8, 0x01);
  add_certificate(L"MY", fixture::user_valid);
  add_encoded_crl(L"CA", crl_with_reason(subject_name(fixture::ca_a), 0x1001, reason));
  trace_reader trace;
  EXPECT_TRUE(look_up(0x1001, fixture::ca_a).empty());
  EXPECT_EQ(trace.lines(), (std::vector<std::wstring>{line_ctor, line_get, found_in(L"CA"),
                                                      dated(L"2024-02-01 09:15:00"),
                                                      scan + L"Setting revoked!", line_revoked, line_dtor}));
}

TEST_F(csp, entry_dated_like_the_newest_so_far_does_not_count) {
  add_certificate(L"MY", fixture::user_valid);
  add_certificate(L"CA", fixture::ca_a);
  const std::vector<std::wstring> order = ca_and_my_in_scan_order();
  add_encoded_crl(order[0].c_str(), crl_with_reason(subject_name(fixture::ca_a), 0x1001, remove_from_crl));
  add_encoded_crl(order[1].c_str(), crl_with_reason(subject_name(fixture::ca_a), 0x1001, key_compromise));
  trace_reader trace;
  EXPECT_FALSE(look_up(0x1001, fixture::ca_a).empty());
  const std::wstring date = dated(L"2024-02-01 09:15:00");
  EXPECT_EQ(trace.lines(), (std::vector<std::wstring>{line_ctor, line_get, found_in(order[0]), date,
                                                      reason_line(remove_from_crl), scan + L"Setting non revoked!",
                                                      found_in(order[1]), date, reason_line(key_compromise),
                                                      line_dtor}));
}

// Closing a store opened with our provider must not release the provider: the KV_csp still uses
// it for the next store and releases it itself.
TEST_F(csp, provider_outlives_the_stores_it_opened) {
  install_everything();
  KV_csp lookup;
  ASSERT_NE(lookup.provider(), 0u);
  std::vector<BYTE> serial_number = serial_bytes(0x1004);
  std::vector<BYTE> issuer = subject_name(fixture::ca_a);
  CERT_NAME_BLOB issuer_blob = blob_of(issuer);
  EXPECT_TRUE(lookup.get_certificate(blob_of(serial_number), issuer_blob).empty());
  serial_number = serial_bytes(0x1001);
  EXPECT_FALSE(lookup.get_certificate(blob_of(serial_number), issuer_blob).empty());
  DWORD type = 0;
  DWORD size = sizeof type;
  EXPECT_TRUE(CryptGetProvParam(lookup.provider(), PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &size, 0));
  EXPECT_EQ(type, static_cast<DWORD>(PROV_RSA_FULL));
}

TEST_F(csp, missing_default_key_container_is_created) {
  HCRYPTPROV removed = 0;
  CryptAcquireContextW(&removed, nullptr, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  trace_reader trace;
  {
    KV_csp lookup;
    EXPECT_NE(lookup.provider(), 0u);
    EXPECT_NE(lookup.store(), nullptr);
  }
  EXPECT_EQ(trace.lines(), (std::vector<std::wstring>{line_ctor, line_dtor}));
}

// Whichever allocation fails, a revoked certificate is never handed out and nothing but
// std::bad_alloc leaves the lookup.
TEST_F(csp, allocation_failure_never_hands_out_a_revoked_certificate) {
  install_everything();
  struct probe_guard {
    ~probe_guard() { kv::alloc_probe::disarm(); }
  } guard;
  struct row {
    const char* name;
    std::uint32_t serial;
    bool usable;
  };
  const row rows[] = {{"revoked in the second store", 0x1004, false}, {"lifted", 0x1003, true}};
  trace_reader trace;
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    int failures = 0;
    for (int successes = 0; successes < 1000; ++successes) {
      kv::alloc_probe::fail_after(successes);
      try {
        KV_certificate result = look_up(r.serial, fixture::ca_a);
        kv::alloc_probe::disarm();
        EXPECT_EQ(result.empty(), !r.usable) << "after " << successes << " allocations";
        break;
      } catch (const std::bad_alloc&) {
        kv::alloc_probe::disarm();
        ++failures;
      }
    }
    EXPECT_GT(failures, 0);
  }
}

// An allocation failure inside the system's store enumeration comes out of is_revoked as
// std::bad_alloc instead of a verdict.
TEST_F(csp, allocation_failure_during_the_scan_is_rethrown) {
  install_everything();
  kv::unique_cert_context certificate = decode_certificate(fixture::user_keycompromise);
  KV_csp lookup;
  revocation_scan state;
  state.certificate = certificate.get();
  kv::alloc_probe::fail_after(0);
  const BOOL go_on = KV_csp::enum_store_callback(first.c_str(), 0, nullptr, nullptr, &state);
  bool thrown = false;
  try {
    lookup.is_revoked(certificate.get());
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  kv::alloc_probe::disarm();
  EXPECT_FALSE(go_on);
  EXPECT_TRUE(state.out_of_memory);
  EXPECT_TRUE(thrown);
}

}  // namespace
