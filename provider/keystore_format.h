#pragma once
// The three file formats of the file keystore (docs/provider.md has the byte layouts): the index
// of a keystore, one file per key, and the export file. All little-endian; each file ends in the
// SHA-256 of everything before it, so that damage is told apart from a wrong credential.
#include <windows.h>

#include <cstdint>

#include "provider/provider_crypto.h"
#include "types/kv_string.h"

namespace kv::provider {

// Indexes are at version 3: the mark of a keystore whose keys may lie in the per-key
// subfolders, which every older build refuses, and the signature of a certificate keystore's
// index. Version 1 and 2 indexes stay readable and become version 3 when this build writes to
// the keystore. Export files are at version 2 (certificate protection by the certificate's key),
// version 1 stays readable; key files are at version 1.
constexpr std::uint16_t index_version = 3;
constexpr std::uint16_t export_version = 2;
constexpr std::uint16_t key_version = 1;
constexpr std::uint32_t history_capacity = 5;
// The most PBKDF2 iterations a file may ask for: over three times the work factor of new
// passwords, so the factor can grow, yet a crafted file costs a reader seconds, not hours.
constexpr std::uint32_t max_work_factor = 2000000;
// Longest key name, in UTF-16 code units (its file name is bounded separately).
constexpr std::size_t max_name_units = 1024;

enum class protection_kind : std::uint32_t { password = 1, certificate = 2 };

// Appends little-endian fields to a buffer. Throws std::bad_alloc.
class byte_writer {
 public:
  explicit byte_writer(byte_buffer& out) : out_(out) {}
  void u16(std::uint16_t value);
  void u32(std::uint32_t value);
  void u64(std::uint64_t value);
  void bytes(const void* data, std::size_t size);
  template <std::size_t N>
  void sealed_block(const sealed<N>& block) {
    bytes(block.nonce, nonce_size);
    bytes(block.cipher, N);
    bytes(block.tag, tag_size);
  }

 private:
  byte_buffer& out_;
};

// Reads little-endian fields; once a read runs past the end, ok() stays false and every later
// read yields zeros.
class byte_reader {
 public:
  byte_reader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  std::uint16_t u16() noexcept;
  std::uint32_t u32() noexcept;
  std::uint64_t u64() noexcept;
  void bytes(void* out, std::size_t size) noexcept;
  template <std::size_t N>
  void sealed_block(sealed<N>& block) noexcept {
    bytes(block.nonce, nonce_size);
    bytes(block.cipher, N);
    bytes(block.tag, tag_size);
  }
  bool ok() const noexcept { return ok_; }
  std::size_t offset() const noexcept { return at_; }
  bool at_end() const noexcept { return ok_ && at_ == size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

struct history_entry {
  std::uint8_t salt[salt_size] = {};
  std::uint32_t iterations = 0;
  std::uint8_t hash[key_size] = {};
};

// keystore.luidx
struct index_record {
  enum : std::uint16_t { roll_forward_pending = 1 };
  std::uint16_t version = index_version;  // of the file
  std::uint16_t flags = 0;
  // The version whose rules the protection follows: the one it was made under (an older index
  // marked as version 3 keeps its own), and the one its seals and custodian copy authenticate.
  std::uint16_t protection_version = index_version;
  protection_kind kind = protection_kind::password;
  std::uint8_t protection_id[id_size] = {};  // names one protection; key files carry it
  std::uint64_t created = 0;                 // FILETIME of the protection
  std::uint8_t salt[salt_size] = {};
  std::uint32_t iterations = 0;              // PBKDF2 work factor for the credential
  sealed_key keystore_key;                   // the keystore key under the credential's key
  sealed<digest_size> binding;               // certificate keystores: the certificate digest under the keystore key
  byte_buffer custodian;                     // the keystore key under DPAPI
  std::uint32_t history_count = 0;           // newest first
  history_entry history[history_capacity];
  // Version 2 certificate keystores: the encoded certificate, and the credential's key wrapped to
  // its public key (so only its private key opens the keystore). Empty otherwise.
  byte_buffer certificate;
  byte_buffer wrapped;
  // Version 2: the SHA-256 of the history (history_authenticated_bytes) sealed under the keystore
  // key, so that whoever cannot open the keystore cannot strip or swap its history.
  sealed<digest_size> history_seal;
  // Version 3 certificate keystores: index_signed_bytes signed with the certificate's private
  // key, so that an index that anyone holding the public certificate could write is not trusted
  // without the custodian copy. Empty: not signed (yet).
  byte_buffer signature;
};

// <name>.lukey
struct key_record {
  GUID id = {};
  std::uint8_t protection_id[id_size] = {};
  std::uint64_t created = 0;
  std::uint32_t timeout = 0;
  std::uint32_t flags = 0;  // bit 0: default local key
  KV_string name;
  sealed_key secret;        // under the keystore key
};

// The current time as the files keep it (FILETIME, UTC).
std::uint64_t file_time_now() noexcept;

// The export file's payload before it is sealed.
struct export_payload {
  GUID id = {};
  std::uint64_t created = 0;
  std::uint32_t timeout = 0;
  std::uint32_t flags = 0;
  KV_string name;
  key256 secret;
};

enum class seal_kind : std::uint32_t { password = 1, certificate = 2, custodian = 3 };

struct export_seal {
  seal_kind kind = seal_kind::password;
  std::uint8_t salt[salt_size] = {};  // password seals (and version 1 certificate seals)
  std::uint32_t iterations = 0;
  sealed_key content_key;
  std::uint8_t certificate[digest_size] = {};  // certificate seals: which certificate
  byte_buffer wrapped;                         // certificate seals: the content key wrapped to it
  byte_buffer custodian;                       // custodian seal
};

struct export_record {
  static constexpr std::uint32_t max_seals = 3;
  std::uint16_t version = export_version;
  std::uint32_t seal_count = 0;
  export_seal seals[max_seals];
  std::uint8_t nonce[nonce_size] = {};
  byte_buffer cipher;  // the sealed payload
  std::uint8_t tag[tag_size] = {};
};

// Encoders write a whole file, checksum included, and throw std::bad_alloc. Decoders answer
// NTE_BAD_DATA for anything that is not a whole, intact file of this version.
HRESULT encode_index(const index_record& index, byte_buffer& out);
HRESULT decode_index(const byte_buffer& file, index_record& index);
// The bytes that the credential's seal and the binding authenticate: everything that says how to
// derive the credential's key, so that none of it can be swapped without detection.
void index_authenticated_bytes(const index_record& index, byte_buffer& out);
// What a certificate keystore's signature covers: the authenticated bytes and everything that
// decides which key protects the keys (the sealed keystore key, the binding, the certificate
// and the wrapped credential key); not the custodian copy, the flags or the history, which
// change without the private key.
void index_signed_bytes(const index_record& index, byte_buffer& out);
// The history as the history seal covers it: its count and entries.
void history_authenticated_bytes(const index_record& index, byte_buffer& out);

HRESULT encode_key(const key_record& key, byte_buffer& out);
HRESULT decode_key(const byte_buffer& file, key_record& key);
// The bytes that the secret's seal authenticates: the whole key file up to the secret.
void key_authenticated_bytes(const key_record& key, byte_buffer& out);

HRESULT encode_export(const export_record& record, byte_buffer& out);
HRESULT decode_export(const byte_buffer& file, export_record& record);
// What the seals and the payload authenticate: the file header and every seal's public part.
void export_authenticated_bytes(const export_record& record, byte_buffer& out);
void encode_payload(const export_payload& payload, byte_buffer& out);
HRESULT decode_payload(const byte_buffer& plain, export_payload& payload);

}  // namespace kv::provider
