// Export files: written under a password (and a certificate, and the exporting account), read
// back only whole and with the right opener, never changing the keystore when refused.
#include <algorithm>
#include <cstring>

#include "provider/keystore_format.h"
#include "provider_test_support.h"
#include "tests/support/hresult_assert.h"

namespace provider_test {
namespace {

using kv::provider::credential;
using kv::provider::protection_kind;

class export_test : public keystore_test {
 protected:
  void SetUp() override {
    ASSERT_HR(S_OK, create_password_keystore());
    ASSERT_HR(S_OK, service.create_keystore(target.c_str(), credential::of_password(L"target pw")));
    id = add_key(L"exported");
    export_file = drive.path() + L"\\key.luexp";
    ASSERT_HR(S_OK, service.export_key(drive.c_str(), id, export_file.c_str(), L"transfer"));
  }
  HRESULT import_into_target(const credential& opener) {
    return service.import_key(target.c_str(), export_file.c_str(), opener);
  }
  // The target keystore's files with their contents, to show that a refusal changed nothing.
  std::vector<std::vector<std::uint8_t>> target_state() const {
    std::vector<std::vector<std::uint8_t>> state;
    for (const std::wstring& name : target.files()) state.push_back(read_bytes(target.key_file(name)));
    state.push_back({static_cast<std::uint8_t>(key_ids(target).size())});
    return state;
  }

  temp_folder target;
  GUID id{};
  std::wstring export_file;
};

TEST_F(export_test, import_with_the_export_password_recreates_the_key) {
  ASSERT_HR(S_OK, import_into_target(credential::of_password(L"transfer")));
  const kv::provider::key_view original = read(id);
  const kv::provider::key_view copy = read(id, target);
  EXPECT_TRUE(copy.record.name.equals(L"exported"));
  EXPECT_EQ(copy.record.timeout, original.record.timeout);
  EXPECT_EQ(copy.record.created, original.record.created);
  EXPECT_EQ(std::memcmp(copy.secret.bytes, original.secret.bytes, kv::provider::key_size), 0);
  // The secret is nowhere in the export file in clear.
  const std::vector<std::uint8_t> file = read_bytes(export_file);
  EXPECT_EQ(std::search(file.begin(), file.end(), original.secret.bytes, original.secret.bytes + 32), file.end());
  EXPECT_EQ(import_into_target(credential::of_password(L"transfer")), already_exists);
}

TEST_F(export_test, the_exporting_account_imports_without_a_password) {
  ASSERT_HR(S_OK, import_into_target(credential::nothing()));
  EXPECT_EQ(std::memcmp(read(id, target).secret.bytes, read(id).secret.bytes, kv::provider::key_size), 0);
}

TEST_F(export_test, refused_imports_leave_the_keystore_untouched) {
  const kv::unique_cert_context certificate = first_certificate();
  struct row {
    const char* name;
    credential opener;
    HRESULT expected;
  };
  const row rows[] = {
      {"wrong password", credential::of_password(L"Transfer"), invalid_password},
      {"empty password", credential::of_password(L""), invalid_password},
      {"certificate for a password keystore's export", credential::of_certificate(certificate.get()),
       NTE_BAD_KEY_STATE},
  };
  const auto before = target_state();
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(import_into_target(r.opener), r.expected);
    EXPECT_EQ(target_state(), before);
  }
}

TEST_F(export_test, a_flipped_byte_anywhere_is_refused_and_leaves_the_keystore_untouched) {
  const std::vector<std::uint8_t> good = read_bytes(export_file);
  const auto before = target_state();
  for (std::size_t at = 0; at < good.size(); ++at) {
    SCOPED_TRACE(at);
    std::vector<std::uint8_t> bad = good;
    bad[at] ^= 0x20;
    write_bytes(export_file, bad);
    ASSERT_HR(NTE_BAD_DATA, import_into_target(credential::of_password(L"transfer")));
  }
  EXPECT_EQ(target_state(), before);
}

TEST_F(export_test, an_altered_file_with_a_matching_checksum_is_still_refused) {
  // Someone who rewrites the checksum too: the seals and the payload tag still catch the change.
  const std::vector<std::uint8_t> good = read_bytes(export_file);
  const std::size_t body = good.size() - 32;  // without the checksum
  struct row {
    const char* name;
    std::size_t at;
    HRESULT expected;
  };
  const row rows[] = {
      {"payload tag", body - 1, NTE_BAD_DATA},
      {"payload text", body - 16 - 10, NTE_BAD_DATA},
      {"password seal salt", 8 + 4 + 4, invalid_password},  // after the header, the seal's kind and size
  };
  const auto before = target_state();
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    kv::provider::byte_buffer bad(good.begin(), good.begin() + body);
    bad[r.at] ^= 0x01;
    std::uint8_t digest[32];
    ASSERT_HR(S_OK, kv::provider::sha256(bad.data(), bad.size(), digest));
    bad.insert(bad.end(), digest, digest + 32);
    write_bytes(export_file, std::vector<std::uint8_t>(bad.begin(), bad.end()));
    EXPECT_EQ(import_into_target(credential::of_password(L"transfer")), r.expected);
    EXPECT_EQ(target_state(), before);
  }
}

TEST_F(export_test, export_refuses_an_existing_file_an_empty_password_and_an_unknown_id) {
  const std::vector<std::uint8_t> first = read_bytes(export_file);
  EXPECT_EQ(service.export_key(drive.c_str(), id, export_file.c_str(), L"other"), name_in_use);
  EXPECT_EQ(read_bytes(export_file), first);
  const std::wstring second = drive.path() + L"\\second.luexp";
  EXPECT_HR(E_INVALIDARG, service.export_key(drive.c_str(), id, second.c_str(), L""));
  const GUID unknown = {1, 2, 0x4003, {0x80, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_HR(NTE_NOT_FOUND, service.export_key(drive.c_str(), unknown, second.c_str(), L"pw"));
  EXPECT_EQ(service.export_key(drive.c_str(), id, (drive.path() + L"\\absent\\x.luexp").c_str(), L"pw"), path_not_found);
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), service.import_key(target.c_str(), second.c_str(), credential::of_password(L"pw")));
}

TEST_F(export_test, the_work_factor_comes_from_the_settings_and_no_registry_value_lowers_it) {
  // The registry value that once lowered the factor for any process of the user counts no more.
  const DWORD lowered = 1000;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, settings.config.registry_key, L"TestWorkFactor", REG_DWORD, &lowered,
                            sizeof lowered),
            ERROR_SUCCESS);
  kv::provider::settings shipped = settings.config;
  shipped.work_factor = kv::provider::production_work_factor;
  const std::wstring file = drive.path() + L"\\shipped.luexp";
  ASSERT_HR(S_OK, kv::provider::keystore_service(shipped).export_key(drive.c_str(), id, file.c_str(), L"pw"));
  const std::vector<std::uint8_t> bytes = read_bytes(file);
  kv::provider::export_record record;
  ASSERT_HR(S_OK, kv::provider::decode_export(kv::provider::byte_buffer(bytes.begin(), bytes.end()), record));
  EXPECT_EQ(record.seals[0].iterations, kv::provider::production_work_factor);
}

TEST_F(export_test, an_import_whose_name_is_taken_is_refused) {
  add_key(L"exported", target);
  EXPECT_EQ(import_into_target(credential::of_password(L"transfer")), name_in_use);
  EXPECT_EQ(key_ids(target).size(), 1u);
}

TEST_F(export_test, a_certificate_export_opens_only_with_the_certificates_private_key) {
  const kv::unique_cert_context certificate = keyed_certificate();  // decoded from DER: no key of its own
  const kv::unique_cert_context other = second_certificate();
  temp_folder bound;
  ASSERT_HR(S_OK, service.create_keystore(bound.c_str(), credential::of_certificate(certificate.get())));
  const GUID bound_id = add_key(L"bound key", bound, protection_kind::certificate);
  const std::wstring file = bound.path() + L"\\bound.luexp";
  ASSERT_HR(S_OK, service.export_key(bound.c_str(), bound_id, file.c_str(), L"pw"));
  const auto import_with = [&](PCCERT_CONTEXT opener) {
    return service.import_key(target.c_str(), file.c_str(), credential::of_certificate(opener));
  };

  EXPECT_EQ(import_with(other.get()), invalid_password);
  EXPECT_HR(NTE_NO_KEY, import_with(certificate.get()));  // the public certificate alone opens nothing
  {
    const keyed_certificate_in_my_store keyed;  // the private key, found through the MY store
    ASSERT_HR(S_OK, import_with(certificate.get()));
  }
  EXPECT_EQ(std::memcmp(read(bound_id, target).secret.bytes, read(bound_id, bound).secret.bytes, kv::provider::key_size),
            0);
}

TEST_F(export_test, a_version_1_certificate_seal_is_not_trusted) {
  // Version 1 sealed to a key derived from the public certificate's digest.
  kv::provider::export_record old;
  old.version = 1;
  old.seal_count = 1;
  old.seals[0].kind = kv::provider::seal_kind::certificate;
  old.seals[0].iterations = 1;
  old.cipher.assign(64, 0);
  kv::provider::byte_buffer bytes;
  ASSERT_HR(S_OK, kv::provider::encode_export(old, bytes));
  write_bytes(export_file, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  const kv::unique_cert_context certificate = first_certificate();
  EXPECT_HR(NTE_BAD_KEY_STATE, import_into_target(credential::of_certificate(certificate.get())));
}

// Sealing to a certificate takes its public key only, as public-key file encryption does: anyone
// who holds the certificate can send its owner a key, with an id, name and secret of their
// choosing, and the owner's ImportCert takes it. Such a file proves nothing about who made it.
TEST_F(export_test, a_certificate_sealed_file_made_with_the_public_certificate_alone_imports) {
  using namespace kv::provider;
  const keyed_certificate_in_my_store keyed;
  const kv::unique_cert_context certificate = keyed_certificate();
  export_payload payload;
  payload.id = {0x5EB0F11Eu, 0x1, 0x4000, {0x80, 1, 2, 3, 4, 5, 6, 7}};
  payload.name.assign(L"sent by anyone");
  ASSERT_HR(S_OK, random_bytes(payload.secret.bytes, key_size));
  export_record file;
  file.seal_count = 1;
  file.seals[0].kind = seal_kind::certificate;
  ASSERT_HR(S_OK, certificate_digest(certificate.get(), file.seals[0].certificate));
  byte_buffer aad, plain, bytes;
  export_authenticated_bytes(file, aad);
  key256 content_key;
  ASSERT_HR(S_OK, random_bytes(content_key.bytes, key_size));
  ASSERT_HR(S_OK, certificate_wrap(certificate.get(), content_key, file.seals[0].wrapped));
  encode_payload(payload, plain);
  file.cipher.resize(plain.size());
  ASSERT_HR(S_OK, seal_bytes(content_key, aad.data(), aad.size(), plain.data(), plain.size(), file.nonce, file.cipher.data(),
                       file.tag));
  ASSERT_HR(S_OK, encode_export(file, bytes));
  write_bytes(export_file, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));

  ASSERT_HR(S_OK, import_into_target(credential::of_certificate(certificate.get())));
  const key_view imported = read(payload.id, target);
  EXPECT_TRUE(imported.record.name.equals(L"sent by anyone"));
  EXPECT_EQ(std::memcmp(imported.secret.bytes, payload.secret.bytes, key_size), 0);
}

}  // namespace
}  // namespace provider_test
