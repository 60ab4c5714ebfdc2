// Key file names and the decoders of the keystore's files.
#include <cstring>
#include <string>

#include "provider/keystore_files.h"
#include "provider/keystore_format.h"
#include "provider_test_support.h"
#include "tests/support/hresult_assert.h"

namespace provider_test {
namespace {

using namespace kv::provider;

TEST(provider_format, key_file_names_escape_what_a_file_name_cannot_hold) {
  struct row {
    const char* name;
    std::wstring key_name;
    std::wstring file_name;
  };
  const row rows[] = {
      {"plain", L"Signing key", L"Signing key.lukey"},
      {"separators", L"a/b\\c:d", L"a%2Fb%5Cc%3Ad.lukey"},
      {"wildcards and quotes", L"*?\"<>|", L"%2A%3F%22%3C%3E%7C.lukey"},
      {"the escape character itself", L"50%", L"50%25.lukey"},
      {"control character", L"tab\there", L"tab%09here.lukey"},
      {"device name", L"CON", L"%43ON.lukey"},
      {"device name with extension", L"nul.txt", L"%6Eul.txt.lukey"},
      {"numbered port", L"Com7", L"%43om7.lukey"},
      {"longer than a device name", L"console", L"console.lukey"},
      {"port without number", L"COMX", L"COMX.lukey"},
      {"other scripts stay", L"Schl\u00fcssel \u5bc6\u94a5", L"Schl\u00fcssel \u5bc6\u94a5.lukey"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    KV_string file_name;
    ASSERT_HR(S_OK, key_file_name(r.key_name.c_str(), file_name));
    EXPECT_EQ(std::wstring(file_name.text()), r.file_name);
  }
}

TEST(provider_format, key_file_names_have_bounds) {
  struct row {
    const char* name;
    std::wstring key_name;
    HRESULT expected;
  };
  const HRESULT too_long = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  const row rows[] = {
      {"empty", L"", E_INVALIDARG},
      {"longest file name", std::wstring(241, L'x'), S_OK},
      {"one more", std::wstring(242, L'x'), too_long},
      {"escapes count three each", std::wstring(80, L'/'), S_OK},
      {"escapes and one more to the limit", std::wstring(80, L'/') + L"x", S_OK},
      {"escapes one over", std::wstring(80, L'/') + L"xx", too_long},
      {"an escape across the limit", std::wstring(240, L'x') + L"/", too_long},
      {"longer than any name", std::wstring(1025, L'x'), E_INVALIDARG},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    KV_string file_name;
    EXPECT_EQ(key_file_name(r.key_name.c_str(), file_name), r.expected);
  }
}

TEST(provider_format, paths_that_could_pass_max_path_go_to_the_file_functions_extended) {
  const std::wstring deep = L"\\" + std::wstring(247, L'd');  // 250 units with the drive
  struct row {
    const char* name;
    std::wstring path;
    std::wstring expected;
  };
  const row rows[] = {
      {"short", L"C:\\Keys\\DoDadev Keystore", L"C:\\Keys\\DoDadev Keystore"},
      {"one short of the limit", L"C:" + deep.substr(0, 245), L"C:" + deep.substr(0, 245)},
      {"lettered at the limit", L"C:" + deep, L"\\\\?\\C:" + deep},
      {"share", L"\\\\server\\share" + deep, L"\\\\?\\UNC\\server\\share" + deep},
      {"already extended", L"\\\\?\\C:" + deep, L"\\\\?\\C:" + deep},
      {"device path", L"\\\\.\\C:" + deep, L"\\\\.\\C:" + deep},
      {"not a full path", L"keys" + deep, L"keys" + deep},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(std::wstring(os_path(r.path.c_str()).get()), r.expected);
  }
}

key_record sample_key() {
  key_record key;
  key.id = {0x01020304, 0x0506, 0x4708, {0x89, 10, 11, 12, 13, 14, 15, 16}};
  key.created = 0x01D9000000000000ull;
  key.timeout = 300;
  key.flags = 1;
  key.name.assign(L"sample");
  for (std::size_t i = 0; i < sizeof key.secret.cipher; ++i) key.secret.cipher[i] = static_cast<std::uint8_t>(i);
  return key;
}

TEST(provider_format, a_key_file_decodes_to_what_was_encoded_and_nothing_shorter_or_longer) {
  byte_buffer file;
  ASSERT_HR(S_OK, encode_key(sample_key(), file));
  key_record back;
  ASSERT_HR(S_OK, decode_key(file, back));
  EXPECT_TRUE(IsEqualGUID(back.id, sample_key().id));
  EXPECT_EQ(back.created, sample_key().created);
  EXPECT_EQ(back.timeout, 300u);
  EXPECT_EQ(back.flags, 1u);
  EXPECT_TRUE(back.name.equals(L"sample"));
  EXPECT_EQ(std::memcmp(back.secret.cipher, sample_key().secret.cipher, sizeof back.secret.cipher), 0);

  for (std::size_t size = 0; size < file.size(); ++size) {
    SCOPED_TRACE(size);
    const byte_buffer cut(file.begin(), file.begin() + size);
    EXPECT_HR(NTE_BAD_DATA, decode_key(cut, back));
  }
  byte_buffer longer = file;
  longer.push_back(0);
  EXPECT_HR(NTE_BAD_DATA, decode_key(longer, back));
}

// A file whose body was changed and whose checksum was made to fit again.
byte_buffer rechecked(byte_buffer file, std::size_t at, std::uint8_t value) {
  file.resize(file.size() - digest_size);
  file[at] = value;
  std::uint8_t digest[digest_size];
  EXPECT_HR(S_OK, sha256(file.data(), file.size(), digest));
  file.insert(file.end(), digest, digest + digest_size);
  return file;
}

TEST(provider_format, an_index_of_any_version_decodes_to_what_was_encoded) {
  struct row {
    std::uint16_t version;
    std::uint16_t protection_version;
  };
  // A version 3 file may carry an older protection: an older index marked by this build.
  for (const row r : {row{1, 1}, row{2, 2}, row{3, 1}, row{3, 2}, row{3, 3}}) {
    SCOPED_TRACE(testing::Message() << r.version << " with protection " << r.protection_version);
    index_record index;
    index.version = r.version;
    index.protection_version = r.protection_version;
    index.kind = protection_kind::certificate;
    index.iterations = 1;
    if (r.version >= 2) {
      index.certificate.assign(300, 0xC3);
      index.wrapped.assign(256, 0x5A);
    }
    if (r.version >= 3) index.signature.assign(256, 0x9E);
    byte_buffer file;
    ASSERT_HR(S_OK, encode_index(index, file));
    index_record back;
    ASSERT_HR(S_OK, decode_index(file, back));
    EXPECT_EQ(back.version, r.version);
    EXPECT_EQ(back.protection_version, r.protection_version);
    EXPECT_EQ(back.certificate, index.certificate);
    EXPECT_EQ(back.wrapped, index.wrapped);
    EXPECT_EQ(back.signature, index.signature);
    // Marking the file as version 3 leaves what the seals authenticate as it was.
    byte_buffer before, after;
    index_authenticated_bytes(back, before);
    back.version = index_version;
    index_authenticated_bytes(back, after);
    EXPECT_EQ(before, after);
  }
}

TEST(provider_format, decoders_refuse_well_checksummed_files_they_do_not_understand) {
  byte_buffer key_file;
  ASSERT_HR(S_OK, encode_key(sample_key(), key_file));
  index_record index;
  index.iterations = 1000;
  index.history_count = 1;
  index.history[0].iterations = 1000;
  byte_buffer index_file;
  ASSERT_HR(S_OK, encode_index(index, index_file));
  ASSERT_HR(S_OK, decode_index(index_file, index));
  export_record exported;
  exported.seal_count = 1;
  exported.seals[0].iterations = max_work_factor;
  byte_buffer export_file;
  ASSERT_HR(S_OK, encode_export(exported, export_file));
  ASSERT_HR(S_OK, decode_export(export_file, exported));

  using decoder = HRESULT (*)(const byte_buffer&);
  const decoder as_key = [](const byte_buffer& file) { key_record key; return decode_key(file, key); };
  const decoder as_index = [](const byte_buffer& file) { index_record record; return decode_index(file, record); };
  const decoder as_export = [](const byte_buffer& file) { export_record record; return decode_export(file, record); };
  struct row {
    const char* name;
    byte_buffer file;
    decoder decode;
  };
  // The history (one entry) comes last but for the two empty certificate fields, its seal, the
  // protection's version with its reserved field and the empty signature.
  const std::size_t history_count_at = index_file.size() - digest_size - 4 - 2 - 2 -
                                       (nonce_size + digest_size + tag_size) - 4 - 4 - (salt_size + 4 + key_size) - 4;
  const std::size_t protection_version_at = index_file.size() - digest_size - 4 - 2 - 2;
  const std::size_t credential_iterations_top = 55;  // the last byte of the u32 at offset 52
  const std::size_t history_iterations_top = history_count_at + 4 + salt_size + 3;
  const std::size_t seal_iterations_top = 8 + 4 + 4 + salt_size + 3;  // header, kind, size, salt
  const row rows[] = {
      {"key: other magic", rechecked(key_file, 0, 'X'), as_key},
      {"key: newer version", rechecked(key_file, 4, 2), as_key},
      {"key: reserved field set", rechecked(key_file, 6, 1), as_key},
      {"key: NUL inside the name", rechecked(rechecked(key_file, 58, 0), 59, 0), as_key},
      {"index: newer version", rechecked(index_file, 4, 9), as_index},
      {"index: protection newer than the file", rechecked(index_file, protection_version_at, 4), as_index},
      {"index: no protection version", rechecked(index_file, protection_version_at, 0), as_index},
      {"index: reserved field set", rechecked(index_file, protection_version_at + 2, 1), as_index},
      {"index: unknown protection kind", rechecked(index_file, 8, 3), as_index},
      {"index: six passwords of history", rechecked(index_file, history_count_at, 6), as_index},
      // A crafted work factor would hold the caller for an hour: refused before any derivation.
      {"index: credential work factor over the ceiling", rechecked(index_file, credential_iterations_top, 0xFF),
       as_index},
      {"index: history work factor over the ceiling", rechecked(index_file, history_iterations_top, 0xFF), as_index},
      {"export: seal work factor one over the ceiling",
       rechecked(export_file, seal_iterations_top - 3, static_cast<std::uint8_t>((max_work_factor + 1) & 0xFF)),
       as_export},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_HR(NTE_BAD_DATA, r.decode(r.file));
  }
}

}  // namespace
}  // namespace provider_test
