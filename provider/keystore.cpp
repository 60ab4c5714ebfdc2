// The keystore's operations together with the pieces they share: the path layout of keys and
// links, the credentials with the custodian copy, the index signature and the seals, and the drive
// search. It is one file while those pieces still reach into each other's helpers (the layout
// into the crash-safe writes, the credentials into the index writes); the next step splits it
// along exactly those seams, in one move rather than piece by piece beside other changes.
#include "provider/keystore.h"

#include <cstring>
#include <map>
#include <string>

#include "provider/keystore_folder.h"
#include "types/cert_owners.h"
#include "types/kv_guid.h"
#include "types/wide.h"

namespace kv::provider {

struct keystore_service::opened {
  location where;
  keystore_lock lock;
  index_record index;
};

namespace {

constexpr wchar_t keystore_folder_name[] = L"DoDadev Keystore";
constexpr wchar_t index_name[] = L"keystore.luidx";
constexpr wchar_t ids_folder_name[] = L"ids";
constexpr wchar_t keys_folder_name[] = L"keys";
constexpr wchar_t link_suffix[] = L".luid";
constexpr wchar_t folders_subkey[] = L"\\Folders";
constexpr std::uint32_t max_index_size = 64 * 1024;
constexpr std::uint32_t max_key_file_size = 8 * 1024;
constexpr std::uint32_t max_link_size = 2 * 255;
constexpr std::uint32_t max_export_size = 64 * 1024;
constexpr std::size_t max_password_units = 1024;
constexpr std::uint32_t default_local_key_flag = 1;
// A certificate keystore derives nothing from a secret; its index still holds a valid factor.
constexpr std::uint32_t certificate_iterations = 1;

using wide_buffer = std::vector<wchar_t, wiping_allocator<wchar_t>>;
using location = keystore_service::location;

HRESULT last_error() noexcept {
  const DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

bool is_missing(HRESULT hr) noexcept {
  return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

// No "insert a disk" dialog while empty card readers and drives are probed.
class quiet_errors {
 public:
  quiet_errors() noexcept { SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_); }
  ~quiet_errors() { SetThreadErrorMode(old_, nullptr); }
  quiet_errors(const quiet_errors&) = delete;
  quiet_errors& operator=(const quiet_errors&) = delete;

 private:
  DWORD old_ = 0;
};

KV_path child(const KV_path& base, const wchar_t* name) {
  KV_path path(base);
  path.join(name);
  return path;
}

KV_path index_file(const location& where) { return child(where.folder, index_name); }
KV_path ids_folder(const location& where) { return child(where.folder, ids_folder_name); }

// Key files and id links are spread over up to 256 subfolders each ("keys\XX", "ids\XX"), so that
// no folder grows with the keystore: where names are matched without regard to case outside the
// file system (Wine), every new file name costs a scan of its whole folder. Keystores written
// before keep their files at the top ("<name>.lukey", "ids\{GUID}.luid"); readers look there too.
constexpr std::size_t shard_units = 2;

// "ids\XX\{GUID}.luid", XX being the GUID text's first two hex digits; or, `flat`, "ids\{GUID}.luid".
KV_path link_file(const location& where, const GUID& id, bool flat = false) {
  const KV_guid text(id);
  wchar_t name[KV_guid::text_units + 5] = {};
  std::memcpy(name, text.text, (KV_guid::text_units - 1) * sizeof(wchar_t));
  std::memcpy(name + KV_guid::text_units - 1, link_suffix, sizeof link_suffix);
  KV_path folder = ids_folder(where);
  if (!flat) {
    const wchar_t shard[shard_units + 1] = {text.text[1], text.text[2], 0};
    folder.join(shard);
  }
  return child(folder, name);
}

bool is_hex(wchar_t c) noexcept { return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'); }

// "keys\XX\<file name>". XX comes from the name folded to upper case, so that names the file
// system takes for the same share a folder and collide there.
KV_string key_relative_path(const KV_string& file_name) {
  const int length = static_cast<int>(file_name.length());
  wide_buffer folded(file_name.length() + 1);
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, file_name.text(), length, folded.data(), length, nullptr,
                    nullptr, 0) != length)
    for (int i = 0; i < length; ++i) folded[i] = kv::fold_ascii(file_name.text()[i]);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (int i = 0; i < length; ++i) hash = (hash ^ static_cast<std::uint16_t>(folded[i])) * 16777619u;
  hash ^= hash >> 16;
  static const wchar_t hex[] = L"0123456789ABCDEF";
  const wchar_t prefix[] = {L'\\', hex[(hash >> 4) & 15], hex[hash & 15], L'\\', 0};
  KV_string relative(keys_folder_name);
  relative.append(prefix);
  relative.append(file_name.text());
  return relative;
}

// A link names "<file name>" or "keys\XX\<file name>"; a file name holds no separator.
bool is_key_link_text(const wchar_t* text) noexcept {
  const std::size_t keys_length = sizeof keys_folder_name / sizeof keys_folder_name[0] - 1;
  std::size_t same = 0;  // stops at the text's end, so nothing past it is read
  while (same < keys_length && text[same] == keys_folder_name[same]) ++same;
  if (same == keys_length && text[keys_length] == L'\\' && is_hex(text[keys_length + 1]) &&
      is_hex(text[keys_length + 2]) && text[keys_length + 3] == L'\\')
    text += keys_length + 4;
  for (const wchar_t* c = text; *c; ++c)
    if (*c == L'\\' || *c == L'/' || *c == L':') return false;
  return *text != 0 && ends_with_nocase(text, key_suffix);
}

HRESULT full_path(const wchar_t* text, KV_path& out) {
  const DWORD needed = GetFullPathNameW(text, 0, nullptr, nullptr);
  if (needed == 0) return last_error();
  wide_buffer buffer(needed + 1);
  const DWORD got = GetFullPathNameW(text, needed + 1, buffer.data(), nullptr);
  if (got == 0 || got > needed) return got == 0 ? last_error() : E_FAIL;
  out.assign(buffer.data());
  return S_OK;
}

// The drive text as a volume root ("E:\") or a folder without trailing backslash. Relative texts
// are refused: the server's current folder means nothing to its clients.
HRESULT resolve_drive(const wchar_t* drive, location& where) {
  const std::size_t length = kv::wide_length(drive);
  if (length == 0 || length > 32767) return E_INVALIDARG;
  const bool lettered = length >= 2 && kv::is_ascii_letter(drive[0]) && drive[1] == L':' &&
                        (length == 2 || drive[2] == L'\\' || drive[2] == L'/');
  const bool unc = length > 2 && (drive[0] == L'\\' || drive[0] == L'/') && (drive[1] == L'\\' || drive[1] == L'/');
  if (!lettered && !unc) return E_INVALIDARG;
  if (length == 2) {
    const wchar_t root[] = {drive[0], L':', L'\\', 0};
    where.root.assign(root);
  } else {
    HRESULT hr = full_path(drive, where.root);
    if (FAILED(hr)) return hr;
  }
  std::size_t kept = where.root.length();
  const wchar_t* text = where.root.text();
  while (kept > 0 && text[kept - 1] == L'\\' && !(kept == 3 && text[1] == L':')) --kept;
  if (kept == 0) return E_INVALIDARG;
  if (kept < where.root.length()) {
    KV_string shorter;
    where.root.left(shorter, 0, kept);
    where.root.assign(shorter);
  }
  where.volume_root = where.root.length() == 3 && where.root.text()[1] == L':';
  {
    quiet_errors quiet;
    const DWORD attributes = GetFileAttributesW(os_path(where.root.text()).get());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      return error == ERROR_ACCESS_DENIED ? HRESULT_FROM_WIN32(error) : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  }
  where.folder = child(where.root, keystore_folder_name);
  return S_OK;
}

HRESULT read_index(const location& where, index_record& index) {
  byte_buffer data;
  const HRESULT hr = read_whole_file(index_file(where).text(), max_index_size, data);
  if (is_missing(hr)) return NTE_BAD_KEYSET;
  if (FAILED(hr)) return hr;
  return decode_index(data, index);
}

HRESULT new_guid(GUID& id) noexcept {
  const HRESULT hr = random_bytes(&id, sizeof id);
  // Version 4 (random) in the RFC 4122 variant.
  id.Data3 = static_cast<unsigned short>((id.Data3 & 0x0FFF) | 0x4000);
  id.Data4[0] = static_cast<unsigned char>((id.Data4[0] & 0x3F) | 0x80);
  return hr;
}

std::uint64_t now() noexcept {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

HRESULT check_password(const wchar_t* password, bool must_have_text) noexcept {
  if (!password) return E_INVALIDARG;
  const std::size_t length = kv::wide_length(password);
  if (length > max_password_units || (must_have_text && length == 0)) return E_INVALIDARG;
  return S_OK;
}

HRESULT check_new_credential(const credential& fresh) noexcept {
  switch (fresh.type) {
    case credential::kind::password:
      return check_password(fresh.password, true);
    case credential::kind::certificate:
      return fresh.certificate ? S_OK : E_INVALIDARG;
    default:
      return E_INVALIDARG;
  }
}

HRESULT derive_from_password(const wchar_t* password, const std::uint8_t (&salt)[salt_size],
                             std::uint32_t iterations, key256& key) noexcept {
  return derive_key(password, kv::wide_length(password) * sizeof(wchar_t), salt, iterations, key);
}

// What the custodian copy binds in: a version 1 protection its id, later versions the whole
// authenticated header, so that a header rewritten as an older version no longer opens it.
void custodian_entropy(const index_record& index, byte_buffer& entropy) {
  if (index.protection_version < 2) {
    entropy.assign(index.protection_id, index.protection_id + id_size);
  } else {
    index_authenticated_bytes(index, entropy);
  }
}

HRESULT open_custodian(const index_record& index, key256& keystore_key) {
  byte_buffer entropy;
  custodian_entropy(index, entropy);
  return custodian_open(index.custodian, entropy.data(), entropy.size(), keystore_key);
}

// The certificate that a certificate keystore keeps; a version 1 protection keeps none.
HRESULT kept_certificate(const index_record& index, kv::unique_cert_context& context) {
  if (index.certificate.empty()) return NTE_BAD_KEY_STATE;
  context.reset(CertCreateCertificateContext(X509_ASN_ENCODING, index.certificate.data(),
                                             static_cast<DWORD>(index.certificate.size())));
  return context ? S_OK : NTE_BAD_DATA;
}

// ERROR_INVALID_PASSWORD unless `certificate` has the digest `expected`.
HRESULT check_certificate(PCCERT_CONTEXT certificate, const std::uint8_t (&expected)[digest_size]) noexcept {
  std::uint8_t digest[digest_size];
  const HRESULT hr = certificate_digest(certificate, digest);
  if (FAILED(hr)) return hr;
  return same_bytes(digest, expected, digest_size) ? S_OK : HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
}

// The credential's key of a certificate keystore: wrapped to the certificate's public key, so
// that only its private key opens the keystore; the public certificate alone opens nothing.
HRESULT unwrap_with_certificate(const index_record& index, PCCERT_CONTEXT certificate, key256& sealing_key) {
  if (index.certificate.empty()) return NTE_BAD_KEY_STATE;  // version 1: bound by the digest only
  std::uint8_t kept[digest_size];
  HRESULT hr = sha256(index.certificate.data(), index.certificate.size(), kept);
  if (SUCCEEDED(hr)) hr = check_certificate(certificate, kept);
  if (SUCCEEDED(hr)) hr = certificate_unwrap(certificate, index.wrapped, sealing_key);
  return hr == seal_mismatch ? NTE_BAD_DATA : hr;
}

// Signs a certificate keystore's index with the certificate's private key. NTE_NO_KEY when that
// key is not at hand: the index then stays unsigned, trusted through the custodian copy only,
// until its owner's next write where the key is.
HRESULT sign_index(index_record& index, PCCERT_CONTEXT certificate) {
  byte_buffer signed_bytes;
  index_signed_bytes(index, signed_bytes);
  byte_buffer signature;
  const HRESULT hr = certificate_sign(certificate, signed_bytes, signature);
  if (SUCCEEDED(hr)) index.signature.swap(signature);
  return hr;
}

// NTE_BAD_SIGNATURE unless the certificate's private key signed the index as it stands: the
// public certificate, which anyone may hold, is enough to write a whole certificate index, keys
// wrapped to it included.
HRESULT check_index_signature(const index_record& index, PCCERT_CONTEXT certificate) {
  byte_buffer signed_bytes;
  index_signed_bytes(index, signed_bytes);
  return certificate_verify(certificate, signed_bytes, index.signature);
}

// A new protection for `keystore_key` in `index` (history untouched), always of the current
// version.
HRESULT build_protection(const credential& fresh, const key256& keystore_key, std::uint32_t work_factor,
                         index_record& index) {
  const bool by_password = fresh.type == credential::kind::password;
  index.version = index_version;
  index.protection_version = index_version;
  index.signature.clear();
  index.flags = 0;
  index.kind = by_password ? protection_kind::password : protection_kind::certificate;
  index.created = now();
  index.iterations = by_password ? work_factor : certificate_iterations;
  index.certificate.clear();
  index.wrapped.clear();
  HRESULT hr = random_bytes(index.protection_id, id_size);
  if (SUCCEEDED(hr)) hr = random_bytes(index.salt, salt_size);
  if (FAILED(hr)) return hr;
  byte_buffer aad;
  index_authenticated_bytes(index, aad);
  key256 sealing_key;
  if (by_password) {
    hr = derive_from_password(fresh.password, index.salt, index.iterations, sealing_key);
  } else {
    const PCCERT_CONTEXT certificate = fresh.certificate;
    if (!certificate->pbCertEncoded || certificate->cbCertEncoded == 0) return E_INVALIDARG;
    index.certificate.assign(certificate->pbCertEncoded, certificate->pbCertEncoded + certificate->cbCertEncoded);
    hr = random_bytes(sealing_key.bytes, key_size);
    if (SUCCEEDED(hr)) hr = certificate_wrap(certificate, sealing_key, index.wrapped);
  }
  if (SUCCEEDED(hr)) hr = seal_block(sealing_key, aad.data(), aad.size(), keystore_key.bytes, index.keystore_key);
  if (FAILED(hr)) return hr;
  if (by_password) {
    hr = random_bytes(&index.binding, sizeof index.binding);
  } else {
    secret_bytes<digest_size> digest;
    hr = certificate_digest(fresh.certificate, digest.bytes);
    if (SUCCEEDED(hr)) hr = seal_block(keystore_key, aad.data(), aad.size(), digest.bytes, index.binding);
    if (SUCCEEDED(hr)) hr = sign_index(index, fresh.certificate);
    if (hr == NTE_NO_KEY) hr = S_OK;
  }
  if (FAILED(hr)) return hr;
  byte_buffer entropy;
  custodian_entropy(index, entropy);
  return custodian_protect(keystore_key, entropy.data(), entropy.size(), index.custodian);
}

// The keystore key through the given credential, or through the custodian copy for `none`.
HRESULT unlock(const index_record& index, const credential& given, key256& keystore_key) {
  if (given.type == credential::kind::none) return open_custodian(index, keystore_key);
  const bool by_password = given.type == credential::kind::password;
  if (index.kind != (by_password ? protection_kind::password : protection_kind::certificate)) return NTE_BAD_KEY_STATE;
  byte_buffer aad;
  index_authenticated_bytes(index, aad);
  key256 sealing_key;
  HRESULT hr = by_password ? derive_from_password(given.password, index.salt, index.iterations, sealing_key)
                           : unwrap_with_certificate(index, given.certificate, sealing_key);
  if (SUCCEEDED(hr)) hr = open_block(sealing_key, aad.data(), aad.size(), index.keystore_key, keystore_key.bytes);
  if (hr != seal_mismatch) return hr;
  // The certificate was checked before: a seal that its key does not open was altered.
  return by_password ? HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD) : NTE_BAD_DATA;
}

// What the history seal covers: the header as additional data, the history's digest as content.
HRESULT history_parts(const index_record& index, byte_buffer& aad, std::uint8_t (&digest)[digest_size]) {
  byte_buffer history;
  index_authenticated_bytes(index, aad);
  history_authenticated_bytes(index, history);
  return sha256(history.data(), history.size(), digest);
}

// Seals the history's digest under the keystore key; called whenever the header or the history
// changed. A version 1 protection has no history seal.
HRESULT seal_history(index_record& index, const key256& keystore_key) {
  if (index.protection_version < 2) return S_OK;
  byte_buffer aad;
  std::uint8_t digest[digest_size];
  const HRESULT hr = history_parts(index, aad, digest);
  return FAILED(hr) ? hr : seal_block(keystore_key, aad.data(), aad.size(), digest, index.history_seal);
}

// NTE_BAD_DATA unless the history is the one the keystore key sealed. A version 1 protection has no
// seal: its history counts as it is until the next protection change seals it.
HRESULT check_history(const index_record& index, const key256& keystore_key) {
  if (index.protection_version < 2) return S_OK;
  byte_buffer aad;
  std::uint8_t digest[digest_size];
  std::uint8_t sealed_digest[digest_size];
  HRESULT hr = history_parts(index, aad, digest);
  if (SUCCEEDED(hr)) hr = open_block(keystore_key, aad.data(), aad.size(), index.history_seal, sealed_digest);
  if (hr == seal_mismatch || (SUCCEEDED(hr) && !same_bytes(digest, sealed_digest, digest_size))) return NTE_BAD_DATA;
  return hr;
}

// Whether `password` is in the history, once the history proves whole.
HRESULT in_history(const index_record& index, const key256& keystore_key, const wchar_t* password, bool& found) {
  found = false;
  const HRESULT checked = check_history(index, keystore_key);
  if (FAILED(checked)) return checked;
  for (std::uint32_t i = 0; i < index.history_count && !found; ++i) {
    key256 hash;
    const HRESULT hr = derive_from_password(password, index.history[i].salt, index.history[i].iterations, hash);
    if (FAILED(hr)) return hr;
    found = same_bytes(hash.bytes, index.history[i].hash, key_size);
  }
  return S_OK;
}

HRESULT add_to_history(index_record& index, const wchar_t* password, std::uint32_t work_factor) {
  history_entry entry;
  entry.iterations = work_factor;
  HRESULT hr = random_bytes(entry.salt, salt_size);
  key256 hash;
  if (SUCCEEDED(hr)) hr = derive_from_password(password, entry.salt, work_factor, hash);
  if (FAILED(hr)) return hr;
  std::memcpy(entry.hash, hash.bytes, key_size);
  const std::uint32_t kept = index.history_count < history_capacity ? index.history_count : history_capacity - 1;
  for (std::uint32_t i = kept; i > 0; --i) index.history[i] = index.history[i - 1];
  index.history[0] = entry;
  index.history_count = kept + 1;
  SecureZeroMemory(entry.hash, key_size);
  return S_OK;
}

HRESULT open_secret(const key256& keystore_key, const key_record& record, key256& secret) {
  byte_buffer aad;
  key_authenticated_bytes(record, aad);
  const HRESULT hr = open_block(keystore_key, aad.data(), aad.size(), record.secret, secret.bytes);
  return hr == seal_mismatch ? NTE_BAD_DATA : hr;
}

HRESULT seal_secret(const key256& keystore_key, key_record& record, const key256& secret) {
  byte_buffer aad;
  key_authenticated_bytes(record, aad);
  return seal_block(keystore_key, aad.data(), aad.size(), secret.bytes, record.secret);
}

HRESULT hold_parent(const location& where, const KV_path& file);

// The key file that the id's link names, once its own id confirms it.
HRESULT find_key(const location& where, const GUID& id, KV_path& key_path, KV_string& file_name,
                 key_record& record, bool* flat_link = nullptr) {
  byte_buffer link;
  const KV_path sharded = link_file(where, id);
  HRESULT hr = hold_parent(where, sharded);
  if (FAILED(hr)) return hr;
  hr = read_whole_file(sharded.text(), max_link_size, link);
  if (flat_link) *flat_link = is_missing(hr);
  if (is_missing(hr)) {
    const KV_path flat = link_file(where, id, true);
    hr = hold_parent(where, flat);
    if (SUCCEEDED(hr)) hr = read_whole_file(flat.text(), max_link_size, link);
  }
  if (is_missing(hr)) return NTE_NOT_FOUND;
  if (FAILED(hr)) return hr;
  if (link.size() < 2 || link.size() % 2 != 0) return NTE_BAD_DATA;
  wide_buffer name(link.size() / 2 + 1);
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    name[i] = static_cast<wchar_t>(link[2 * i] | (link[2 * i + 1] << 8));
    if (name[i] == 0) return NTE_BAD_DATA;
  }
  name.back() = 0;
  if (!is_key_link_text(name.data())) return NTE_BAD_DATA;
  file_name.assign(name.data());
  key_path = child(where.folder, name.data());
  hr = hold_parent(where, key_path);
  if (FAILED(hr)) return hr;
  byte_buffer data;
  hr = read_whole_file(key_path.text(), max_key_file_size, data);
  if (is_missing(hr)) return NTE_NOT_FOUND;
  if (SUCCEEDED(hr)) hr = decode_key(data, record);
  if (FAILED(hr)) return hr;
  return IsEqualGUID(record.id, id) ? S_OK : NTE_NOT_FOUND;
}

// File names compare as the file system does, without regard to letter case beyond ASCII.
bool same_file_name(const wchar_t* a, const wchar_t* b) noexcept {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// A key file that the link of its own id does not name is left over from a write cut short (a
// rename killed between its two writes): no lookup finds it, yet it holds its name. Under the
// lock it goes. A file that cannot be read or decoded stays: it may be damage worth keeping.
bool remove_if_orphan(const location& where, const KV_path& key_path, const wchar_t* file_name) {
  byte_buffer data;
  key_record record;
  if (FAILED(read_whole_file(key_path.text(), max_key_file_size, data)) || FAILED(decode_key(data, record)))
    return false;
  KV_path linked_path;
  KV_string linked_name;
  key_record linked;
  const HRESULT hr = find_key(where, record.id, linked_path, linked_name, linked);
  if (SUCCEEDED(hr) ? same_file_name(linked_name.text(), file_name) : hr != NTE_NOT_FOUND) return false;
  return remove_file(key_path.text()) != FALSE;
}

KV_path parent_folder(const KV_path& path) {
  std::size_t end = path.length();
  while (end > 0 && path.text()[end - 1] != L'\\') --end;
  KV_string text;
  path.left(text, 0, end > 0 ? end - 1 : 0);
  return KV_path(text.text());
}

// Makes a keystore subfolder, or takes the one there, checked and held like the keystore folder:
// one made by someone else, or a link put in its place, is refused.
HRESULT make_folder(const location& where, const KV_path& folder) {
  about_to_change();
  if (!CreateDirectoryW(os_path(folder.text()).get(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return last_error();
  return where.holds.check_and_hold(folder);
}

// Checks and holds the folder of a keystore file that is about to be read, when it is there.
HRESULT hold_parent(const location& where, const KV_path& file) {
  const KV_path folder = parent_folder(file);
  if (!path_exists(folder.text())) return S_OK;  // the read finds nothing, as it should
  return where.holds.check_and_hold(folder);
}

// Moves a new key file to "keys\XX\<file name>" when no key holds the name there or, as keystores
// written before had it, at the top (`own`, the file being renamed, aside). An orphan holding the
// name is cleared first.
HRESULT write_new_key_file(const location& where, const KV_string& file_name, const byte_buffer& data,
                           const interrupt_hook& interrupt, const wchar_t* own = nullptr) {
  const KV_path flat_path = child(where.folder, file_name.text());
  if (!(own && same_file_name(own, file_name.text())) && path_exists(flat_path.text()) &&
      !remove_if_orphan(where, flat_path, file_name.text()))
    return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
  const KV_string relative = key_relative_path(file_name);
  const KV_path key_path = child(where.folder, relative.text());
  const KV_path folder = parent_folder(key_path);
  HRESULT hr = make_folder(where, child(where.folder, keys_folder_name));
  if (SUCCEEDED(hr)) hr = make_folder(where, folder);
  if (SUCCEEDED(hr)) hr = write_atomically(folder, key_path, data, false, interrupt);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) && remove_if_orphan(where, key_path, relative.text()))
    hr = write_atomically(folder, key_path, data, false, interrupt);
  return hr;
}

// The link's content: the key file's path relative to the keystore folder, UTF-16LE.
byte_buffer link_bytes(const KV_string& relative) {
  byte_buffer link;
  byte_writer writer(link);
  for (std::size_t i = 0; i < relative.length(); ++i) writer.u16(static_cast<std::uint16_t>(relative.text()[i]));
  return link;
}

// Deletes a file that may be gone already.
HRESULT remove_if_there(const KV_path& path) {
  if (remove_file(path.text()) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
    return S_OK;
  return last_error();
}

// Writes the id's link in its subfolder; one left at the top by an older writer goes afterwards.
HRESULT write_link(const location& where, const GUID& id, const byte_buffer& link, bool replace,
                   const interrupt_hook& interrupt) {
  const KV_path path = link_file(where, id);
  const KV_path folder = parent_folder(path);
  HRESULT hr = make_folder(where, ids_folder(where));
  if (SUCCEEDED(hr)) hr = make_folder(where, folder);
  if (SUCCEEDED(hr)) hr = write_atomically(folder, path, link, replace, interrupt);
  // A top-level link of the earlier layout that stays (the file held open) is harmless: the new
  // link wins every lookup, and a delete takes both.
  if (SUCCEEDED(hr) && replace) remove_if_there(link_file(where, id, true));
  return hr;
}

// The names of the files (or, with `folders`, the subfolders) directly in `folder`.
HRESULT file_names(const KV_path& folder, KV_paths& names, bool folders = false) {
  const KV_path pattern = child(folder, L"*");
  WIN32_FIND_DATAW found;
  const kv::unique_find search(
      FindFirstFileExW(os_path(pattern.text()).get(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
  if (!search) {
    const HRESULT hr = last_error();
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
  }
  do {
    const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (is_folder == folders && !(is_folder && found.cFileName[0] == L'.')) names.emplace_back(found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES ? S_OK : last_error();
}

// The paths of the files in every folder that holds key files: the top and "keys\XX".
HRESULT key_folder_files(const location& where, KV_paths& paths) {
  KV_paths folders;
  folders.push_back(where.folder);
  const KV_path keys = child(where.folder, keys_folder_name);
  KV_paths shards;
  HRESULT hr = file_names(keys, shards, true);
  if (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) hr = S_OK;
  for (const KV_path& shard : shards) folders.push_back(child(keys, shard.text()));
  for (const KV_path& folder : folders) {
    KV_paths names;
    if (SUCCEEDED(hr)) hr = where.holds.check_and_hold(folder);
    if (SUCCEEDED(hr)) hr = file_names(folder, names);
    for (const KV_path& name : names) paths.push_back(child(folder, name.text()));
  }
  return hr;
}

const wchar_t* leaf(const KV_path& path) noexcept {
  const wchar_t* text = path.text();
  const wchar_t* last = text;
  for (const wchar_t* c = text; *c; ++c)
    if (*c == L'\\') last = c + 1;
  return last;
}

bool is_temporary(const wchar_t* name) noexcept { return name[0] == L'~' && ends_with_nocase(name, temporary_suffix); }

// "<file>.lukey.pending" -> "<file>.lukey"
KV_path without_pending(const KV_path& path) {
  KV_string shorter;
  path.left(shorter, 0, path.length() - (sizeof pending_suffix / sizeof pending_suffix[0] - 1));
  return KV_path(shorter.text());
}

bool is_pending(const wchar_t* name) noexcept {
  const std::size_t length = kv::wide_length(name);
  const std::size_t pending_length = sizeof pending_suffix / sizeof pending_suffix[0] - 1;
  const std::size_t key_length = sizeof key_suffix / sizeof key_suffix[0] - 1;
  if (length < pending_length + key_length || !ends_with_nocase(name, pending_suffix)) return false;
  wchar_t stem_end[key_length + 1] = {};
  std::memcpy(stem_end, name + length - pending_length - key_length, key_length * sizeof(wchar_t));
  return kv::equals_nocase(stem_end, key_suffix);
}

// Drives whose last probe failed slowly (a share that is gone, a device that does not answer):
// searches pass them over for a while, so each costs its time-out once per interval instead of on
// every search. Shared by the provider objects of one process.
class slow_drives {
 public:
  static constexpr ULONGLONG slow_ms = 250;
  static constexpr ULONGLONG skip_ms = 10 * 60 * 1000;

  bool skipped(const KV_path& root) {
    const ULONGLONG now = GetTickCount64();
    AcquireSRWLockShared(&lock_);
    const auto found = failed_.find(root.text());
    const bool skip = found != failed_.end() && now - found->second < skip_ms;
    ReleaseSRWLockShared(&lock_);
    return skip;
  }
  // Notes a probe that started at `started` and did not find what it looked for; true when it
  // was slow, so that the drive is passed over from now on.
  bool missed(const KV_path& root, ULONGLONG started) {
    if (GetTickCount64() - started < slow_ms) return false;
    AcquireSRWLockExclusive(&lock_);
    try {
      failed_[root.text()] = GetTickCount64();
    } catch (...) {
      // Without memory the drive is just probed again next time.
    }
    ReleaseSRWLockExclusive(&lock_);
    return true;
  }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<std::wstring, ULONGLONG> failed_;
};

slow_drives& unanswering_drives() {
  static slow_drives drives;
  return drives;
}

HRESULT list_volume_roots(const settings& config, KV_paths& roots) {
  if (config.volume_roots) return config.volume_roots(roots);
  const DWORD needed = GetLogicalDriveStringsW(0, nullptr);
  if (needed == 0) return last_error();
  wide_buffer buffer(needed + 1);
  const DWORD got = GetLogicalDriveStringsW(needed, buffer.data());
  if (got == 0 || got > needed) return got == 0 ? last_error() : E_FAIL;
  buffer[got] = 0;
  KV_paths found(buffer.data());
  roots.splice(roots.end(), found);
  return S_OK;
}

}  // namespace

void keystore_service::remember_folder_drive(const location& where) const {
  KV_string key(config_.registry_key);
  key.append(folders_subkey);
  kv::unique_hkey folders;
  if (RegCreateKeyExW(config_.registry_root, key.text(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, folders.put(),
                      nullptr) != ERROR_SUCCESS)
    return;  // only searches by id miss the keystore then; it is there all the same
  const wchar_t empty[] = L"";
  RegSetValueExW(folders.get(), where.root.text(), 0, REG_SZ, reinterpret_cast<const BYTE*>(empty), sizeof empty);
}

void keystore_service::forget_folder_drive(const KV_path& root) const {
  KV_string key(config_.registry_key);
  key.append(folders_subkey);
  kv::unique_hkey folders;
  if (RegOpenKeyExW(config_.registry_root, key.text(), 0, KEY_SET_VALUE, folders.put()) == ERROR_SUCCESS)
    RegDeleteValueW(folders.get(), root.text());
}

HRESULT keystore_service::folder_drives(KV_paths& roots) const {
  KV_string key(config_.registry_key);
  key.append(folders_subkey);
  kv::unique_hkey folders;
  const LONG status = RegOpenKeyExW(config_.registry_root, key.text(), 0, KEY_QUERY_VALUE, folders.put());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  wide_buffer name(16384);
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(name.size());
    const LONG result = RegEnumValueW(folders.get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) return S_OK;
    if (result != ERROR_SUCCESS) return HRESULT_FROM_WIN32(result);
    if (length > 0) roots.emplace_back(name.data());
  }
}

HRESULT keystore_service::open_index(const wchar_t* drive, opened& keystore) {
  HRESULT hr = resolve_drive(drive, keystore.where);
  if (FAILED(hr)) return hr;
  if (!path_exists(index_file(keystore.where).text())) return NTE_BAD_KEYSET;
  hr = keystore.where.holds.check_and_hold(keystore.where.folder);
  if (SUCCEEDED(hr)) hr = read_index(keystore.where, keystore.index);
  return hr;
}

HRESULT keystore_service::open_for_writing(const wchar_t* drive, opened& keystore) {
  HRESULT hr = resolve_drive(drive, keystore.where);
  if (FAILED(hr)) return hr;
  if (!path_exists(index_file(keystore.where).text())) return NTE_BAD_KEYSET;
  hr = keystore.where.holds.check_and_hold(keystore.where.folder);
  if (SUCCEEDED(hr)) hr = keystore.lock.acquire(keystore.where.folder, config_.lock_timeout_ms);
  if (SUCCEEDED(hr)) hr = read_index(keystore.where, keystore.index);
  if (SUCCEEDED(hr) && (keystore.index.flags & index_record::roll_forward_pending)) hr = roll_forward(keystore);
  return hr;
}

// An older index is written again as version 3 before this build writes a key into the per-key
// subfolders: builds before it re-protect only the keys at the top level, and every one of them
// refuses an index of a version it does not know. The protection keeps its own version, which
// its seals and custodian copy authenticate, so nothing is sealed again.
HRESULT keystore_service::mark_current_version(opened& keystore) {
  if (keystore.index.version >= index_version) return S_OK;
  keystore.index.version = index_version;
  byte_buffer data;
  const HRESULT hr = encode_index(keystore.index, data);
  if (FAILED(hr)) return hr;
  return write_atomically(keystore.where.folder, index_file(keystore.where), data, true, config_.interrupt);
}

namespace {

// A custodian copy refused with NTE_PERM can still be reopened through the private key of the
// certificate the keystore is protected with.
bool certificate_can_reopen(const index_record& index, HRESULT custodian_result) noexcept {
  return custodian_result == NTE_PERM && index.kind == protection_kind::certificate && !index.certificate.empty();
}

}  // namespace

// The custodian copy, which only the account that made it opens, vouches for the index; without
// it, only an index that the certificate's private key signed is trusted. A certificate index
// that the custodian copy vouches for and that is not signed yet is signed when the private key
// is at hand, once the key it wraps proves to be the custodian's.
HRESULT keystore_service::open_keystore_key(opened& keystore, key256& keystore_key) {
  const HRESULT hr = open_custodian(keystore.index, keystore_key);
  if (SUCCEEDED(hr)) return sign_if_unsigned(keystore, keystore_key);
  if (!certificate_can_reopen(keystore.index, hr)) return hr;
  kv::unique_cert_context kept;
  if (FAILED(kept_certificate(keystore.index, kept))) return hr;
  const HRESULT signature = check_index_signature(keystore.index, kept.get());
  if (FAILED(signature)) return signature;
  if (FAILED(unlock(keystore.index, credential::of_certificate(kept.get()), keystore_key))) return hr;
  return keep_custodian(keystore, keystore_key);
}

HRESULT keystore_service::sign_if_unsigned(opened& keystore, const key256& keystore_key) {
  index_record& index = keystore.index;
  // A signature that is there was made with the protection (only a new protection changes what
  // it covers); one altered since is refused where it counts, on the way through the private key.
  if (index.kind != protection_kind::certificate || index.certificate.empty() || !index.signature.empty()) return S_OK;
  kv::unique_cert_context kept;
  if (FAILED(kept_certificate(index, kept))) return S_OK;
  // Only what the custodian's keystore key stands behind is signed: a wrapped key and sealed
  // keystore key written beside a genuine custodian copy by someone else stay unsigned.
  key256 wrapped_key;
  if (FAILED(unlock(index, credential::of_certificate(kept.get()), wrapped_key)) ||
      !same_bytes(wrapped_key.bytes, keystore_key.bytes, key_size) || FAILED(sign_index(index, kept.get())))
    return S_OK;
  index.version = index_version;  // the first version with room for a signature
  byte_buffer data;
  const HRESULT hr = encode_index(index, data);
  if (FAILED(hr)) return hr;
  return write_atomically(keystore.where.folder, index_file(keystore.where), data, true, config_.interrupt);
}

HRESULT keystore_service::keep_custodian(opened& keystore, const key256& keystore_key) {
  key256 current;
  if (SUCCEEDED(open_custodian(keystore.index, current)) && same_bytes(current.bytes, keystore_key.bytes, key_size))
    return S_OK;
  byte_buffer entropy;
  custodian_entropy(keystore.index, entropy);
  HRESULT hr = custodian_protect(keystore_key, entropy.data(), entropy.size(), keystore.index.custodian);
  byte_buffer data;
  if (SUCCEEDED(hr)) hr = encode_index(keystore.index, data);
  if (FAILED(hr)) return hr;
  return write_atomically(keystore.where.folder, index_file(keystore.where), data, true, config_.interrupt);
}

// Readers take no lock, so they work on read-only media. A protection change caught half way is
// finished first, as a writer would; a change that commits while the key is read shows as a key
// file of another protection than the index read before it, and the read starts again.
HRESULT keystore_service::read_secret(const wchar_t* drive, const GUID& id, opened& keystore, key_record& record,
                                      key256& keystore_key, key256& secret) {
  HRESULT hr = S_OK;
  bool as_writer = false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    keystore.lock.release();
    hr = as_writer ? open_for_writing(drive, keystore) : open_index(drive, keystore);
    if (SUCCEEDED(hr) && !as_writer && (keystore.index.flags & index_record::roll_forward_pending))
      hr = open_for_writing(drive, keystore);
    KV_path key_path;
    KV_string file_name;
    if (SUCCEEDED(hr)) hr = find_key(keystore.where, id, key_path, file_name, record);
    if (FAILED(hr)) return hr;
    if (std::memcmp(record.protection_id, keystore.index.protection_id, id_size) != 0) {
      hr = NTE_BAD_DATA;
      continue;
    }
    if (as_writer) {
      hr = open_keystore_key(keystore, keystore_key);
    } else {
      hr = open_custodian(keystore.index, keystore_key);
      // The way back through a certificate's private key seals the custodian copy again, which
      // writes the index: that is done as a writer.
      if (certificate_can_reopen(keystore.index, hr)) {
        as_writer = true;
        continue;
      }
    }
    if (SUCCEEDED(hr)) hr = open_secret(keystore_key, record, secret);
    return hr;
  }
  return hr;
}

// Finishes a committed protection change: every pending key file of the current protection
// replaces its key file; pending files of any other protection are leftovers of a change that
// never committed. A pending file that cannot be read or decoded may be the only copy of a key
// under the current keystore key: it stays, the flag stays and the operation fails, so that a
// later writer tries again (a scanner or backup holding the file open goes away).
HRESULT keystore_service::roll_forward(opened& keystore) {
  KV_paths files;
  HRESULT hr = key_folder_files(keystore.where, files);
  if (FAILED(hr)) return hr;
  for (const KV_path& pending : files) {
    if (!is_pending(leaf(pending))) continue;
    byte_buffer data;
    key_record record;
    hr = read_whole_file(pending.text(), max_key_file_size, data);
    if (SUCCEEDED(hr)) hr = decode_key(data, record);
    if (FAILED(hr)) return hr;
    if (std::memcmp(record.protection_id, keystore.index.protection_id, id_size) == 0) {
      hr = replace_file(pending.text(), without_pending(pending).text());
      if (FAILED(hr)) return hr;
    } else {
      remove_file(pending.text());  // a failure leaves a harmless leftover for the next change
    }
  }
  keystore.index.flags = static_cast<std::uint16_t>(keystore.index.flags & ~index_record::roll_forward_pending);
  byte_buffer data;
  hr = encode_index(keystore.index, data);
  if (FAILED(hr)) return hr;
  return write_atomically(keystore.where.folder, index_file(keystore.where), data, true, config_.interrupt);
}

// Writes a new key: its id link first, then the key file, so that a key file never exists without
// the link that finds it. A link left behind by a failure names no file and counts as absent.
// With `fresh_id` the key gets a new random id, drawn again should its link exist; otherwise the
// record keeps its id and replaces a link the caller found to be stale. Names that exist are
// found by the final move, which never replaces: a lookup of a name that does not exist costs a
// whole folder scan on some file systems, so none is made beforehand.
HRESULT keystore_service::store_key(opened& keystore, const key256& keystore_key, key_record& record,
                                    const key256& secret, bool fresh_id) {
  KV_string file_name;
  HRESULT hr = key_file_name(record.name.text(), file_name);
  if (SUCCEEDED(hr)) hr = mark_current_version(keystore);
  if (FAILED(hr)) return hr;
  std::memcpy(record.protection_id, keystore.index.protection_id, id_size);
  const byte_buffer link = link_bytes(key_relative_path(file_name));

  byte_buffer data;
  KV_path link_path;
  for (int attempt = 0;; ++attempt) {
    if (fresh_id) hr = new_guid(record.id);
    if (SUCCEEDED(hr)) hr = seal_secret(keystore_key, record, secret);  // the id is sealed in
    if (SUCCEEDED(hr)) hr = encode_key(record, data);
    if (FAILED(hr)) return hr;
    link_path = link_file(keystore.where, record.id);
    hr = write_link(keystore.where, record.id, link, !fresh_id, config_.interrupt);
    if (!fresh_id || hr != HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) || attempt == 7) break;
  }
  if (FAILED(hr)) return hr;
  hr = write_new_key_file(keystore.where, file_name, data, config_.interrupt);
  if (FAILED(hr) && hr != E_ABORT) remove_file(link_path.text());
  return hr;
}

HRESULT keystore_service::drives(bool populated, std::uint32_t types, KV_paths& roots) {
  KV_paths all;
  const HRESULT hr = list_volume_roots(config_, all);
  if (FAILED(hr)) return hr;
  quiet_errors quiet;
  for (const KV_path& root : all) {
    const UINT type = GetDriveTypeW(root.text());
    if (types != 0 && (type >= 32 || !(types & (1u << type)))) continue;
    if (populated) {
      location where;
      where.root = root;
      where.folder = child(root, keystore_folder_name);
      if (unanswering_drives().skipped(root)) continue;
      const ULONGLONG started = GetTickCount64();
      if (!path_exists(index_file(where).text())) {
        unanswering_drives().missed(root, started);
        continue;
      }
    }
    roots.push_back(root);
  }
  return S_OK;
}

HRESULT keystore_service::folder(const wchar_t* drive, KV_path& folder) {
  location where;
  const HRESULT hr = resolve_drive(drive, where);
  if (SUCCEEDED(hr)) folder = where.folder;
  return hr;
}

HRESULT keystore_service::index_path(const wchar_t* drive, KV_path& path) {
  location where;
  const HRESULT hr = resolve_drive(drive, where);
  if (FAILED(hr)) return hr;
  KV_path index = index_file(where);
  if (!path_exists(index.text())) {
    path = KV_path();
    return S_FALSE;
  }
  path = index;
  return S_OK;
}

HRESULT keystore_service::drive_type(const wchar_t* drive, std::uint32_t& type) {
  location where;
  const HRESULT hr = resolve_drive(drive, where);
  if (FAILED(hr)) return hr;
  wide_buffer volume(where.root.length() + 2);
  if (!GetVolumePathNameW(where.root.text(), volume.data(), static_cast<DWORD>(volume.size()))) return last_error();
  type = GetDriveTypeW(volume.data());
  return S_OK;
}

HRESULT keystore_service::locate(const GUID& id, KV_paths& paths) {
  KV_paths roots;
  HRESULT hr = list_volume_roots(config_, roots);
  const std::size_t volume_roots = roots.size();
  if (SUCCEEDED(hr)) hr = folder_drives(roots);
  if (FAILED(hr)) return hr;
  KV_paths found;
  quiet_errors quiet;
  std::size_t at = 0;
  for (const KV_path& root : roots) {
    const bool folder_drive = at++ >= volume_roots;
    if (unanswering_drives().skipped(root)) continue;
    location where;
    where.root = root;
    where.folder = child(root, keystore_folder_name);
    KV_path key_path;
    KV_string file_name;
    key_record record;
    const ULONGLONG started = GetTickCount64();
    // A drive that cannot be read or holds a damaged file simply contributes nothing.
    hr = find_key(where, id, key_path, file_name, record);
    // A search only names files, so it refuses links but leaves the access list to the operation
    // that then opens the keystore (reading it back costs more than the search itself on Wine).
    if (SUCCEEDED(hr) &&
        !(GetFileAttributesW(os_path(where.folder.text()).get()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
      found.push_back(key_path);
      continue;
    }
    if (unanswering_drives().missed(root, started)) continue;
    // A folder drive that is there but holds no keystore any more is forgotten; one that is not
    // there may be on a medium that comes back.
    if (folder_drive && path_exists(root.text()) && !path_exists(index_file(where).text()))
      forget_folder_drive(root);
  }
  found.sort([](const KV_path& a, const KV_path& b) { return a.precedes(b); });
  found.unique([](const KV_path& a, const KV_path& b) { return kv::equals_nocase(a.text(), b.text()); });
  paths.splice(paths.end(), found);
  return S_OK;
}

HRESULT keystore_service::create_keystore(const wchar_t* drive, const credential& protection) {
  HRESULT hr = check_new_credential(protection);
  if (FAILED(hr)) return hr;
  location where;
  hr = resolve_drive(drive, where);
  if (FAILED(hr)) return hr;
  hr = create_private_folder(where.folder);
  if (SUCCEEDED(hr)) hr = where.holds.check_and_hold(where.folder);
  if (FAILED(hr)) return hr;
  const KV_path ids = ids_folder(where);
  hr = make_folder(where, ids);
  if (FAILED(hr)) return hr;
  keystore_lock lock;
  hr = lock.acquire(where.folder, config_.lock_timeout_ms);
  if (FAILED(hr)) return hr;
  const KV_path index_path = index_file(where);
  if (path_exists(index_path.text())) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  // Key files without an index belong to a keystore whose index was lost; a new keystore would
  // find them but never open them, so they must be cleared away (or the index restored) first.
  KV_paths files;
  hr = key_folder_files(where, files);
  if (FAILED(hr)) return hr;
  for (const KV_path& file : files)
    if (ends_with_nocase(file.text(), key_suffix)) return HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);

  key256 keystore_key;
  index_record index;
  const std::uint32_t factor = config_.work_factor;
  hr = random_bytes(keystore_key.bytes, key_size);
  if (SUCCEEDED(hr)) hr = build_protection(protection, keystore_key, factor, index);
  if (SUCCEEDED(hr) && protection.type == credential::kind::password)
    hr = add_to_history(index, protection.password, factor);
  if (SUCCEEDED(hr)) hr = seal_history(index, keystore_key);
  byte_buffer data;
  if (SUCCEEDED(hr)) hr = encode_index(index, data);
  if (SUCCEEDED(hr)) hr = write_atomically(where.folder, index_path, data, false, config_.interrupt);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  if (SUCCEEDED(hr) && !where.volume_root) remember_folder_drive(where);
  return hr;
}

HRESULT keystore_service::create_key(const wchar_t* drive, protection_kind expected, const wchar_t* password,
                                     const wchar_t* name, std::uint32_t timeout, bool default_local_key) {
  KV_string file_name;
  HRESULT hr = key_file_name(name, file_name);
  if (SUCCEEDED(hr) && password) hr = check_password(password, false);
  if (FAILED(hr)) return hr;
  opened keystore;
  hr = open_for_writing(drive, keystore);
  if (FAILED(hr)) return hr;
  if (keystore.index.kind != expected) return NTE_BAD_KEY_STATE;
  key256 keystore_key;
  if (password) {
    hr = unlock(keystore.index, credential::of_password(password), keystore_key);
    if (SUCCEEDED(hr)) hr = keep_custodian(keystore, keystore_key);
  } else {
    hr = open_keystore_key(keystore, keystore_key);
  }
  if (FAILED(hr)) return hr;

  key_record record;
  record.created = now();
  record.timeout = timeout;
  record.flags = default_local_key ? default_local_key_flag : 0;
  record.name.assign(name);
  key256 secret;
  hr = random_bytes(secret.bytes, key_size);
  if (FAILED(hr)) return hr;
  return store_key(keystore, keystore_key, record, secret, true);
}

// Every place that holds the key goes: the subfolders, and the top-level file and link of the
// earlier layout that a rename cut short may have left beside them, which would otherwise bring
// the key back under its old name.
HRESULT keystore_service::delete_key(const wchar_t* drive, const GUID& id) {
  opened keystore;
  HRESULT hr = open_for_writing(drive, keystore);
  if (FAILED(hr)) return hr;
  for (int place = 0; place < 2; ++place) {
    KV_path key_path;
    KV_string file_name;
    key_record record;
    bool flat_link = false;
    hr = find_key(keystore.where, id, key_path, file_name, record, &flat_link);
    if (place > 0 && hr == NTE_NOT_FOUND) return S_OK;
    if (FAILED(hr)) return hr;
    // The key file goes first: a link without its file counts as absent.
    if (!remove_file(key_path.text())) return last_error();
    hr = remove_if_there(link_file(keystore.where, id, flat_link));
    if (FAILED(hr)) return hr;
    if (flat_link) return S_OK;
  }
  return S_OK;
}

HRESULT keystore_service::rename_key(const wchar_t* drive, const GUID& id, const wchar_t* new_name) {
  KV_string new_file;
  HRESULT hr = key_file_name(new_name, new_file);
  if (FAILED(hr)) return hr;
  opened keystore;
  hr = open_for_writing(drive, keystore);
  KV_path old_path;
  KV_string old_file;
  key_record record;
  if (SUCCEEDED(hr)) hr = find_key(keystore.where, id, old_path, old_file, record);
  if (FAILED(hr)) return hr;
  if (record.name.equals(new_name)) return S_OK;

  key256 keystore_key;
  key256 secret;
  hr = open_keystore_key(keystore, keystore_key);
  if (SUCCEEDED(hr)) hr = open_secret(keystore_key, record, secret);
  if (FAILED(hr)) return hr;
  record.name.assign(new_name);
  hr = mark_current_version(keystore);
  if (SUCCEEDED(hr)) hr = seal_secret(keystore_key, record, secret);
  byte_buffer data;
  if (SUCCEEDED(hr)) hr = encode_key(record, data);
  if (FAILED(hr)) return hr;

  // A name that differs only in letter case keeps its file (the file system folds case).
  const KV_string new_relative = key_relative_path(new_file);
  const bool same_file = same_file_name(old_file.text(), new_relative.text());
  const KV_path new_path = child(keystore.where.folder, new_relative.text());
  hr = same_file ? write_atomically(parent_folder(old_path), old_path, data, true, config_.interrupt)
                 : write_new_key_file(keystore.where, new_file, data, config_.interrupt, leaf(old_path));
  if (FAILED(hr)) return hr;
  hr = write_link(keystore.where, id, link_bytes(new_relative), true, config_.interrupt);
  if (FAILED(hr)) {
    if (!same_file && hr != E_ABORT) remove_file(new_path.text());
    return hr;
  }
  // The key is renamed once the link names the new file: an old file that stays (held open) is
  // an orphan that the next writer wanting its name clears, and a delete of the key takes it.
  if (!same_file) remove_if_there(old_path);
  return S_OK;
}

HRESULT keystore_service::export_key(const wchar_t* drive, const GUID& id, const wchar_t* export_path,
                                     const wchar_t* export_password) {
  HRESULT hr = check_password(export_password, true);
  if (FAILED(hr)) return hr;
  if (kv::wide_length(export_path) == 0) return E_INVALIDARG;
  KV_path target;
  hr = full_path(export_path, target);
  if (FAILED(hr)) return hr;
  std::size_t slash = target.length();
  while (slash > 0 && target.text()[slash - 1] != L'\\') --slash;
  if (slash == 0 || slash == target.length()) return E_INVALIDARG;
  KV_string parent_text;
  target.left(parent_text, 0, slash);
  const KV_path parent(parent_text.text());

  opened keystore;
  key_record record;
  key256 keystore_key;
  export_payload payload;
  hr = read_secret(drive, id, keystore, record, keystore_key, payload.secret);
  if (FAILED(hr)) return hr;
  payload.id = record.id;
  payload.created = record.created;
  payload.timeout = record.timeout;
  payload.flags = record.flags;
  payload.name = record.name;

  // Seals: the export password always; the certificate's public key when the keystore keeps one
  // (a version 1 certificate keystore keeps only a digest); the exporting account's custodian
  // seal always.
  export_record file;
  const bool certificate = !keystore.index.certificate.empty();
  file.seal_count = certificate ? 3 : 2;
  export_seal& by_password = file.seals[0];
  export_seal& by_certificate = file.seals[1];
  export_seal& by_custodian = file.seals[file.seal_count - 1];
  by_password.kind = seal_kind::password;
  by_password.iterations = config_.work_factor;
  hr = random_bytes(by_password.salt, salt_size);
  if (certificate && SUCCEEDED(hr)) {
    by_certificate.kind = seal_kind::certificate;
    hr = sha256(keystore.index.certificate.data(), keystore.index.certificate.size(), by_certificate.certificate);
  }
  by_custodian.kind = seal_kind::custodian;
  if (FAILED(hr)) return hr;
  byte_buffer aad;
  export_authenticated_bytes(file, aad);

  key256 content_key;
  key256 sealing_key;
  hr = random_bytes(content_key.bytes, key_size);
  if (SUCCEEDED(hr)) hr = derive_from_password(export_password, by_password.salt, by_password.iterations, sealing_key);
  if (SUCCEEDED(hr)) hr = seal_block(sealing_key, aad.data(), aad.size(), content_key.bytes, by_password.content_key);
  if (SUCCEEDED(hr) && certificate) {
    // The kept certificate must be the one that the keystore key vouches for.
    byte_buffer index_aad;
    index_authenticated_bytes(keystore.index, index_aad);
    std::uint8_t digest[digest_size];
    hr = open_block(keystore_key, index_aad.data(), index_aad.size(), keystore.index.binding, digest);
    if (hr == seal_mismatch || (SUCCEEDED(hr) && !same_bytes(digest, by_certificate.certificate, digest_size)))
      hr = NTE_BAD_DATA;
    kv::unique_cert_context kept;
    if (SUCCEEDED(hr)) hr = kept_certificate(keystore.index, kept);
    if (SUCCEEDED(hr)) hr = certificate_wrap(kept.get(), content_key, by_certificate.wrapped);
  }
  if (SUCCEEDED(hr)) hr = custodian_protect(content_key, aad.data(), aad.size(), by_custodian.custodian);
  byte_buffer plain;
  if (SUCCEEDED(hr)) {
    encode_payload(payload, plain);
    file.cipher.resize(plain.size());
    hr = seal_bytes(content_key, aad.data(), aad.size(), plain.data(), plain.size(), file.nonce, file.cipher.data(),
                    file.tag);
  }
  byte_buffer data;
  if (SUCCEEDED(hr)) hr = encode_export(file, data);
  if (FAILED(hr)) return hr;
  return write_atomically(parent, target, data, false, config_.interrupt);
}

HRESULT keystore_service::import_key(const wchar_t* drive, const wchar_t* import_path, const credential& opener) {
  if (kv::wide_length(import_path) == 0) return E_INVALIDARG;
  HRESULT hr = S_OK;
  if (opener.type == credential::kind::password) hr = check_password(opener.password, false);
  if (opener.type == credential::kind::certificate && !opener.certificate) hr = E_INVALIDARG;
  if (FAILED(hr)) return hr;
  opened keystore;
  hr = open_for_writing(drive, keystore);
  if (FAILED(hr)) return hr;

  byte_buffer data;
  export_record file;
  hr = read_whole_file(import_path, max_export_size, data, file_origin::caller);
  if (SUCCEEDED(hr)) hr = decode_export(data, file);
  if (FAILED(hr)) return hr;
  byte_buffer aad;
  export_authenticated_bytes(file, aad);
  const seal_kind wanted = opener.type == credential::kind::password      ? seal_kind::password
                           : opener.type == credential::kind::certificate ? seal_kind::certificate
                                                                          : seal_kind::custodian;
  const export_seal* seal = nullptr;
  for (std::uint32_t i = 0; i < file.seal_count && !seal; ++i)
    if (file.seals[i].kind == wanted) seal = &file.seals[i];
  if (!seal) return NTE_BAD_KEY_STATE;

  key256 content_key;
  if (wanted == seal_kind::custodian) {
    hr = custodian_open(seal->custodian, aad.data(), aad.size(), content_key);
  } else if (wanted == seal_kind::certificate) {
    // A version 1 certificate seal opens with the public certificate alone: not trusted.
    if (file.version < 2) return NTE_BAD_KEY_STATE;
    hr = check_certificate(opener.certificate, seal->certificate);
    if (SUCCEEDED(hr)) hr = certificate_unwrap(opener.certificate, seal->wrapped, content_key);
    if (hr == seal_mismatch) hr = NTE_BAD_DATA;
  } else {
    key256 sealing_key;
    hr = derive_from_password(opener.password, seal->salt, seal->iterations, sealing_key);
    if (SUCCEEDED(hr)) hr = open_block(sealing_key, aad.data(), aad.size(), seal->content_key, content_key.bytes);
    if (hr == seal_mismatch) hr = HRESULT_FROM_WIN32(ERROR_INVALID_PASSWORD);
  }
  if (FAILED(hr)) return hr;
  byte_buffer plain(file.cipher.size());
  hr = open_bytes(content_key, aad.data(), aad.size(), file.nonce, file.cipher.data(), file.cipher.size(), file.tag,
                  plain.data());
  if (hr == seal_mismatch) hr = NTE_BAD_DATA;
  export_payload payload;
  if (SUCCEEDED(hr)) hr = decode_payload(plain, payload);
  if (FAILED(hr)) return hr;

  KV_path existing_path;
  KV_string existing_file;
  key_record existing;
  hr = find_key(keystore.where, payload.id, existing_path, existing_file, existing);
  if (SUCCEEDED(hr)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
  if (hr != NTE_NOT_FOUND) return hr;
  key256 keystore_key;
  hr = open_keystore_key(keystore, keystore_key);
  if (FAILED(hr)) return hr;
  key_record record;
  record.id = payload.id;
  record.created = payload.created;
  record.timeout = payload.timeout;
  record.flags = payload.flags;
  record.name = payload.name;
  return store_key(keystore, keystore_key, record, payload.secret, false);
}

// Re-encrypts every key under a new keystore key: all key files are written as "<file>.pending"
// first, then the new index commits the change, then the pending files replace the key files. A
// crash before the commit leaves the old protection whole; after it, the next writer finishes the
// change (roll_forward).
HRESULT keystore_service::replace_protection(const wchar_t* drive, const credential& fresh, bool enforce_history) {
  HRESULT hr = check_new_credential(fresh);
  if (FAILED(hr)) return hr;
  opened keystore;
  hr = open_for_writing(drive, keystore);
  if (FAILED(hr)) return hr;
  const bool by_password = fresh.type == credential::kind::password;
  key256 old_key;
  hr = open_keystore_key(keystore, old_key);
  if (FAILED(hr)) return hr;
  if (enforce_history && by_password) {
    bool used = false;
    hr = in_history(keystore.index, old_key, fresh.password, used);
    if (FAILED(hr)) return hr;
    if (used) return HRESULT_FROM_WIN32(ERROR_PASSWORD_RESTRICTION);
  }

  key256 new_key;
  index_record next;
  const std::uint32_t factor = config_.work_factor;
  hr = random_bytes(new_key.bytes, key_size);
  if (SUCCEEDED(hr)) hr = build_protection(fresh, new_key, factor, next);
  if (FAILED(hr)) return hr;
  next.history_count = keystore.index.history_count;
  for (std::uint32_t i = 0; i < next.history_count; ++i) next.history[i] = keystore.index.history[i];
  if (by_password) hr = add_to_history(next, fresh.password, factor);
  if (SUCCEEDED(hr)) hr = seal_history(next, new_key);
  if (FAILED(hr)) return hr;

  KV_paths files;
  hr = key_folder_files(keystore.where, files);
  if (FAILED(hr)) return hr;
  // Under the lock, temporary and pending files are leftovers of interrupted writers. They must
  // go: a pending file of an older change must never sit beside those of the one committed next.
  for (const KV_path& file : files) {
    if (!is_temporary(leaf(file)) && !is_pending(leaf(file))) continue;
    hr = remove_if_there(file);
    if (FAILED(hr)) return hr;
  }

  KV_paths written;
  auto discard = [&written] {
    for (const KV_path& path : written) remove_file(path.text());
  };
  for (const KV_path& key_path : files) {
    if (!ends_with_nocase(key_path.text(), key_suffix)) continue;
    byte_buffer data;
    key_record record;
    key256 secret;
    hr = read_whole_file(key_path.text(), max_key_file_size, data);
    if (SUCCEEDED(hr)) hr = decode_key(data, record);
    if (SUCCEEDED(hr)) hr = open_secret(old_key, record, secret);
    if (SUCCEEDED(hr)) {
      std::memcpy(record.protection_id, next.protection_id, id_size);
      hr = seal_secret(new_key, record, secret);
    }
    if (SUCCEEDED(hr)) hr = encode_key(record, data);
    KV_string pending_text(key_path.text());
    pending_text.append(pending_suffix);
    const KV_path pending_path(pending_text.text());
    if (SUCCEEDED(hr)) {
      written.push_back(pending_path);
      hr = write_flushed(pending_path, data);
    }
    if (FAILED(hr)) {
      discard();
      return hr;
    }
  }

  next.flags = index_record::roll_forward_pending;
  byte_buffer data;
  hr = encode_index(next, data);
  if (SUCCEEDED(hr)) hr = write_atomically(keystore.where.folder, index_file(keystore.where), data, true, config_.interrupt);
  if (FAILED(hr)) {
    if (hr != E_ABORT) discard();
    return hr;
  }
  if (config_.interrupt.at(write_step::protection_committed)) return E_ABORT;
  keystore.index = next;
  return roll_forward(keystore);
}

HRESULT keystore_service::verify_password_history(const wchar_t* drive, const wchar_t* password) {
  HRESULT hr = check_password(password, false);
  opened keystore;
  if (SUCCEEDED(hr)) hr = open_index(drive, keystore);
  // The history is checked under the keystore key, which the custodian copy gives.
  key256 keystore_key;
  if (SUCCEEDED(hr)) hr = unlock(keystore.index, credential::nothing(), keystore_key);
  bool used = false;
  if (SUCCEEDED(hr)) hr = in_history(keystore.index, keystore_key, password, used);
  if (FAILED(hr)) return hr;
  return used ? HRESULT_FROM_WIN32(ERROR_PASSWORD_RESTRICTION) : S_OK;
}

HRESULT keystore_service::verify_password(const wchar_t* drive, const wchar_t* password) {
  HRESULT hr = check_password(password, false);
  opened keystore;
  if (SUCCEEDED(hr)) hr = open_index(drive, keystore);
  if (FAILED(hr)) return hr;
  key256 keystore_key;
  hr = unlock(keystore.index, credential::of_password(password), keystore_key);
  key256 custodian_key;
  if (FAILED(hr) || SUCCEEDED(open_custodian(keystore.index, custodian_key))) return hr;
  // The password is right and the custodian copy does not open for this account: seal it again,
  // under the lock, unless the protection changed meanwhile. The answer stays S_OK either way.
  opened writer;
  if (SUCCEEDED(open_for_writing(drive, writer)) &&
      std::memcmp(writer.index.protection_id, keystore.index.protection_id, id_size) == 0)
    keep_custodian(writer, keystore_key);
  return S_OK;
}

HRESULT keystore_service::read_key(const wchar_t* drive, const GUID& id, key_view& key) {
  opened keystore;
  key256 keystore_key;
  return read_secret(drive, id, keystore, key.record, keystore_key, key.secret);
}

}  // namespace kv::provider
