#include "win/kv_certificate.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "crypto_support.h"

namespace {

// A certificate in a memory store of its own. Closing that store with CERT_CLOSE_STORE_CHECK_FLAG
// tells whether any reference on the context is still held, which is how these tests count.
struct stored_certificate {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  PCCERT_CONTEXT context = nullptr;

  explicit stored_certificate(const der_blob& der) {
    CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data, der.size, CERT_STORE_ADD_ALWAYS, &context);
  }
  // Drops the test's own reference and the store handle: true when someone else still holds
  // a reference on the context.
  bool still_referenced() {
    CertFreeCertificateContext(context);
    const BOOL closed_clean = CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG);
    const DWORD error = GetLastError();
    store = nullptr;
    if (!closed_clean) {
      EXPECT_EQ(error, static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
    }
    return !closed_clean;
  }
};

// The context must still be readable: its serial number is the fixture's, least significant first.
void expect_serial(PCCERT_CONTEXT context, BYTE low, BYTE high) {
  ASSERT_NE(context, nullptr);
  const CRYPT_INTEGER_BLOB& serial = context->pCertInfo->SerialNumber;
  ASSERT_EQ(serial.cbData, 2u);
  EXPECT_EQ(serial.pbData[0], low);
  EXPECT_EQ(serial.pbData[1], high);
}

TEST(certificate, default_descriptor_is_empty_with_empty_texts) {
  KV_certificate empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.context(), nullptr);
  for (int i = 0; i < KV_certificate::text_count; ++i) {
    EXPECT_FALSE(empty.text(i).is_null());
    EXPECT_EQ(empty.text(i).length(), 0u);
  }
  KV_certificate from_null(static_cast<PCCERT_CONTEXT>(nullptr));
  EXPECT_TRUE(from_null.empty());
}

TEST(certificate, copy_survives_destruction_of_its_source) {
  stored_certificate cert(fixture::user_lifted);
  auto source = std::make_unique<KV_certificate>(cert.context);
  KV_certificate copy(*source);
  EXPECT_EQ(copy.context(), cert.context);  // duplicating hands back the same pointer
  source.reset();
  EXPECT_TRUE(cert.still_referenced());
  expect_serial(copy.context(), 0x03, 0x10);
}

TEST(certificate, assignment_takes_a_reference_and_frees_the_old_one) {
  stored_certificate old_cert(fixture::user_valid);
  stored_certificate new_cert(fixture::user_relisted);
  KV_certificate target(old_cert.context);
  {
    KV_certificate source(new_cert.context);
    target = source;
  }
  EXPECT_FALSE(old_cert.still_referenced());
  EXPECT_TRUE(new_cert.still_referenced());
  expect_serial(target.context(), 0x04, 0x10);
}

TEST(certificate, self_assignment_keeps_the_reference) {
  stored_certificate cert(fixture::user_valid);
  KV_certificate descriptor(cert.context);
  KV_certificate& alias = descriptor;
  descriptor = alias;
  EXPECT_TRUE(cert.still_referenced());
  expect_serial(descriptor.context(), 0x01, 0x10);
}

TEST(certificate, every_reference_is_released_in_the_end) {
  stored_certificate cert(fixture::user_valid);
  {
    KV_certificate a(cert.context);
    KV_certificate b(a);
    KV_certificate c;
    c = a;
    c = b;
    KV_certificate& alias = c;
    c = alias;
    KV_certificate d(std::move(b));
    EXPECT_TRUE(b.empty());
    KV_certificate e;
    e = std::move(d);
    e = std::move(a);  // the moved-in reference replaces e's own one
    EXPECT_EQ(e.context(), cert.context);
    KV_certificate emptied(cert.context);
    emptied = KV_certificate();
    EXPECT_TRUE(emptied.empty());
  }
  EXPECT_FALSE(cert.still_referenced());
}

}  // namespace
