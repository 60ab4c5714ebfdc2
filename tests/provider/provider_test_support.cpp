#include "provider_test_support.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "tests/support/hresult_assert.h"
#include "types/kv_guid.h"
#include "win/owners.h"

namespace provider_test {

extern const unsigned char user_noreason_der[];
extern const unsigned user_noreason_der_size;
extern const unsigned char user_lifted_der[];
extern const unsigned user_lifted_der_size;
extern const unsigned char user_keyed_der[];
extern const unsigned user_keyed_der_size;
extern const unsigned char user_keyed_pfx[];
extern const unsigned user_keyed_pfx_size;

namespace {

HRESULT no_volume_roots(KV_paths&) { return S_OK; }

kv::unique_cert_context decode(const unsigned char* der, unsigned size) {
  kv::unique_cert_context context(CertCreateCertificateContext(X509_ASN_ENCODING, der, size));
  if (!context) throw std::runtime_error("certificate fixture does not decode");
  return context;
}

}  // namespace

test_settings::test_settings()
    : key_(L"Software\\DoDadev\\ProviderTest-" + std::to_wstring(GetCurrentProcessId())) {
  RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  config.work_factor = test_work_factor;
  config.registry_key = key_.c_str();
  config.volume_roots = no_volume_roots;
}

test_settings::~test_settings() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

kv::unique_cert_context first_certificate() { return decode(user_noreason_der, user_noreason_der_size); }
kv::unique_cert_context second_certificate() { return decode(user_lifted_der, user_lifted_der_size); }
kv::unique_cert_context keyed_certificate() { return decode(user_keyed_der, user_keyed_der_size); }

keyed_certificate_in_my_store::keyed_certificate_in_my_store() {
  CRYPT_DATA_BLOB pfx{user_keyed_pfx_size, const_cast<BYTE*>(user_keyed_pfx)};
  const kv::unique_cert_store imported(PFXImportCertStore(&pfx, L"keyed", CRYPT_USER_KEYSET));
  const kv::unique_cert_context found(imported ? CertEnumCertificatesInStore(imported.get(), nullptr) : nullptr);
  const kv::unique_cert_store my(
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"MY"));
  if (!found || !my ||
      !CertAddCertificateContextToStore(my.get(), found.get(), CERT_STORE_ADD_REPLACE_EXISTING, added_.put()))
    throw std::runtime_error("the keyed certificate does not go into the MY store");
  // Wine writes a system store back only when it closes (the added context keeps it open).
  CertControlStore(my.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

keyed_certificate_in_my_store::~keyed_certificate_in_my_store() {
  const HCERTSTORE my = added_.get()->hCertStore;
  CertDeleteCertificateFromStore(CertDuplicateCertificateContext(added_.get()));
  CertControlStore(my, 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

std::vector<std::wstring> files_in(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const kv::unique_find search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// The folder and its subfolders named by two hex digits ("keys\\XX", "ids\\XX").
std::vector<std::wstring> with_shards(const std::wstring& folder) {
  std::vector<std::wstring> folders{folder};
  WIN32_FIND_DATAW found;
  const kv::unique_find search(FindFirstFileW((folder + L"\\??").c_str(), &found));
  if (!search) return folders;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && found.cFileName[0] != L'.')
      folders.push_back(folder + L"\\" + found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  return folders;
}

std::vector<std::wstring> key_folders(const temp_folder& drive) {
  std::vector<std::wstring> folders = with_shards(drive.keystore() + L"\\keys");
  folders[0] = drive.keystore();
  return folders;
}

}  // namespace

std::vector<std::wstring> temp_folder::files() const {
  std::vector<std::wstring> names;
  for (const std::wstring& folder : key_folders(*this))
    for (const std::wstring& name : files_in(folder)) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

std::wstring temp_folder::key_file(const std::wstring& name) const {
  for (const std::wstring& folder : key_folders(*this))
    if (GetFileAttributesW((folder + L"\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES) return folder + L"\\" + name;
  return keystore() + L"\\" + name;
}

std::vector<GUID> key_ids(const temp_folder& drive) { return key_ids_in(drive.keystore()); }

std::vector<GUID> key_ids_in(const std::wstring& keystore_folder) {
  std::vector<GUID> ids;
  for (const std::wstring& folder : with_shards(keystore_folder + L"\\ids"))
    for (const std::wstring& name : files_in(folder))
      if (name.size() == 38 + 5 && name.compare(38, 5, L".luid") == 0) ids.push_back(KV_guid(name.substr(0, 38).c_str()));
  return ids;
}

std::vector<std::uint8_t> read_bytes(const std::wstring& path) {
  std::vector<std::uint8_t> bytes;
  kv::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return bytes;
  bytes.resize(GetFileSize(file.get(), nullptr));
  DWORD read = 0;
  ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  return bytes;
}

void write_bytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  kv::unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
    throw std::runtime_error("cannot write a test file");
}

void rewrite_index(const temp_folder& drive, const std::function<void(kv::provider::index_record&)>& change) {
  const std::wstring path = drive.keystore() + L"\\keystore.luidx";
  const std::vector<std::uint8_t> bytes = read_bytes(path);
  kv::provider::index_record index;
  if (kv::provider::decode_index(kv::provider::byte_buffer(bytes.begin(), bytes.end()), index) != S_OK)
    throw std::runtime_error("the index does not decode");
  change(index);
  kv::provider::byte_buffer changed;
  kv::provider::encode_index(index, changed);
  write_bytes(path, std::vector<std::uint8_t>(changed.begin(), changed.end()));
}

kv::provider::index_record read_index(const temp_folder& drive) {
  const std::vector<std::uint8_t> bytes = read_bytes(drive.keystore() + L"\\keystore.luidx");
  kv::provider::index_record index;
  if (kv::provider::decode_index(kv::provider::byte_buffer(bytes.begin(), bytes.end()), index) != S_OK)
    throw std::runtime_error("the index does not decode");
  return index;
}

kv::provider::index_record hand_made_index(std::uint16_t version, const kv::provider::key256& keystore_key,
                                           const wchar_t* password, PCCERT_CONTEXT certificate) {
  using namespace kv::provider;
  index_record index;
  index.version = version;
  index.protection_version = version;
  index.kind = password ? protection_kind::password : protection_kind::certificate;
  index.iterations = test_work_factor;
  key256 sealing_key;
  bool ok = random_bytes(index.protection_id, id_size) == S_OK && random_bytes(index.salt, salt_size) == S_OK;
  if (password) {
    ok = ok && derive_key(password, std::char_traits<wchar_t>::length(password) * sizeof(wchar_t), index.salt,
                          index.iterations, sealing_key) == S_OK;
  } else {
    index.certificate.assign(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
    ok = ok && random_bytes(sealing_key.bytes, key_size) == S_OK &&
         certificate_wrap(certificate, sealing_key, index.wrapped) == S_OK;
  }
  byte_buffer aad, history;
  index_authenticated_bytes(index, aad);
  history_authenticated_bytes(index, history);
  std::uint8_t digest[digest_size] = {};
  ok = ok && seal_block(sealing_key, aad.data(), aad.size(), keystore_key.bytes, index.keystore_key) == S_OK;
  if (certificate && !password) ok = ok && certificate_digest(certificate, digest) == S_OK;
  ok = ok && seal_block(keystore_key, aad.data(), aad.size(), digest, index.binding) == S_OK;
  ok = ok && sha256(history.data(), history.size(), digest) == S_OK &&
       seal_block(keystore_key, aad.data(), aad.size(), digest, index.history_seal) == S_OK;
  if (version < 2) {
    index.certificate.clear();
    index.wrapped.clear();
    aad.assign(index.protection_id, index.protection_id + id_size);
  }
  ok = ok && custodian_protect(keystore_key, aad.data(), aad.size(), index.custodian) == S_OK;
  if (!ok) throw std::runtime_error("the hand-made index could not be sealed");
  return index;
}

void move_to_flat_layout(const temp_folder& drive, const GUID& id, const std::wstring& file_name) {
  const std::wstring guid = KV_guid(id).text;
  const std::wstring ids = drive.keystore() + L"\\ids\\";
  if (!MoveFileW(drive.key_file(file_name).c_str(), (drive.keystore() + L"\\" + file_name).c_str()) ||
      !DeleteFileW((ids + guid.substr(1, 2) + L"\\" + guid + L".luid").c_str()))
    throw std::runtime_error("the key could not be moved to the flat layout");
  const auto* name = reinterpret_cast<const std::uint8_t*>(file_name.c_str());
  write_bytes(ids + guid + L".luid", std::vector<std::uint8_t>(name, name + file_name.size() * sizeof(wchar_t)));
}

folder_contents contents_of(const std::wstring& folder) {
  folder_contents contents;
  std::vector<std::wstring> pending{L""};
  while (!pending.empty()) {
    const std::wstring relative = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW found;
    const kv::unique_find search(FindFirstFileW((folder + relative + L"\\*").c_str(), &found));
    if (!search) continue;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        pending.push_back(relative + L"\\" + name);
      } else {
        contents[relative + L"\\" + name] = read_bytes(folder + relative + L"\\" + name);
      }
    } while (FindNextFileW(search.get(), &found));
  }
  return contents;
}

std::vector<std::wstring> texts(const KV_paths& paths) {
  std::vector<std::wstring> result;
  for (const KV_path& path : paths) result.push_back(path.text());
  return result;
}

GUID keystore_test::add_key(const wchar_t* name, const temp_folder& where, kv::provider::protection_kind kind) {
  const std::vector<GUID> before = key_ids(where);
  const HRESULT hr = service.create_key(where.c_str(), kind, nullptr, name, 30, false);
  EXPECT_HR(S_OK, hr) << "creating key " << testing::PrintToString(std::wstring(name));
  for (const GUID& id : key_ids(where))
    if (std::none_of(before.begin(), before.end(), [&](const GUID& old) { return IsEqualGUID(old, id); })) return id;
  ADD_FAILURE() << "no new key id";
  return GUID{};
}

kv::provider::key_view keystore_test::read(const GUID& id, const temp_folder& where) {
  kv::provider::key_view key;
  EXPECT_HR(S_OK, service.read_key(where.c_str(), id, key));
  return key;
}

}  // namespace provider_test
