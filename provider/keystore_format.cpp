#include "provider/keystore_format.h"

#include <cstring>

namespace kv::provider {

namespace {

constexpr std::uint8_t index_magic[4] = {'L', 'U', 'I', 'X'};
constexpr std::uint8_t key_magic[4] = {'L', 'U', 'K', 'Y'};
constexpr std::uint8_t export_magic[4] = {'L', 'U', 'K', 'X'};
// Bounds on the variable parts, so that a damaged length never asks for a huge buffer.
constexpr std::uint32_t max_custodian_size = 4096;
constexpr std::uint32_t max_payload_size = 4096;
constexpr std::uint32_t password_seal_size = salt_size + 4 + nonce_size + key_size + tag_size;
constexpr std::uint32_t max_certificate_size = 16 * 1024;
constexpr std::uint32_t max_wrapped_size = 1024;  // RSA up to 8,192 bits
constexpr std::uint32_t max_signature_size = 1024;

// A length-prefixed byte field of at most `limit` bytes.
void write_field(byte_writer& out, const byte_buffer& field) {
  out.u32(static_cast<std::uint32_t>(field.size()));
  out.bytes(field.data(), field.size());
}
bool read_field(byte_reader& in, std::uint32_t limit, byte_buffer& field) {
  const std::uint32_t size = in.u32();
  if (!in.ok() || size > limit) return false;
  field.resize(size);
  in.bytes(field.data(), size);
  return in.ok();
}

HRESULT append_checksum(byte_buffer& file) {
  std::uint8_t digest[digest_size];
  const HRESULT hr = sha256(file.data(), file.size(), digest);
  if (SUCCEEDED(hr)) file.insert(file.end(), digest, digest + digest_size);
  return hr;
}

// The body of the file without its checksum, or false when the checksum does not match.
bool checked_body(const byte_buffer& file, std::size_t& body_size) noexcept {
  if (file.size() < digest_size) return false;
  body_size = file.size() - digest_size;
  std::uint8_t digest[digest_size];
  if (FAILED(sha256(file.data(), body_size, digest))) return false;
  return same_bytes(digest, file.data() + body_size, digest_size);
}

// A work factor read from a file: at least one iteration and no more than the ceiling.
bool work_factor_fits(std::uint32_t iterations) noexcept { return iterations != 0 && iterations <= max_work_factor; }

bool magic_fits(byte_reader& in, const std::uint8_t (&magic)[4]) noexcept {
  std::uint8_t seen[4];
  in.bytes(seen, sizeof seen);
  return in.ok() && std::memcmp(seen, magic, sizeof magic) == 0;
}

void write_guid(byte_writer& out, const GUID& id) {
  out.u32(id.Data1);
  out.u16(id.Data2);
  out.u16(id.Data3);
  out.bytes(id.Data4, sizeof id.Data4);
}

GUID read_guid(byte_reader& in) noexcept {
  GUID id;
  id.Data1 = in.u32();
  id.Data2 = in.u16();
  id.Data3 = in.u16();
  in.bytes(id.Data4, sizeof id.Data4);
  return id;
}

void write_name(byte_writer& out, const KV_string& name) {
  const std::size_t units = name.length();
  out.u16(static_cast<std::uint16_t>(units));
  for (std::size_t i = 0; i < units; ++i) out.u16(static_cast<std::uint16_t>(name.text()[i]));
}

// A name of 1 to max_name_units code units without NUL.
bool read_name(byte_reader& in, KV_string& name) {
  const std::size_t units = in.u16();
  if (!in.ok() || units == 0 || units > max_name_units) return false;
  wchar_t text[max_name_units + 1];
  for (std::size_t i = 0; i < units; ++i) {
    text[i] = static_cast<wchar_t>(in.u16());
    if (text[i] == 0) return false;
  }
  text[units] = 0;
  if (in.ok()) name.assign(text);
  SecureZeroMemory(text, sizeof text);
  return in.ok();
}

// The file's fixed fields, or (without the flags) the authenticated bytes, which carry the
// protection's version where the file carries its own.
void write_index_fixed(byte_writer& out, const index_record& index, bool as_file) {
  out.bytes(index_magic, sizeof index_magic);
  out.u16(as_file ? index.version : index.protection_version);
  if (as_file) out.u16(index.flags);
  out.u32(static_cast<std::uint32_t>(index.kind));
  out.bytes(index.protection_id, id_size);
  out.u64(index.created);
  out.bytes(index.salt, salt_size);
  out.u32(index.iterations);
}

void write_history(byte_writer& out, const index_record& index) {
  out.u32(index.history_count);
  for (std::uint32_t i = 0; i < index.history_count; ++i) {
    out.bytes(index.history[i].salt, salt_size);
    out.u32(index.history[i].iterations);
    out.bytes(index.history[i].hash, key_size);
  }
}

void write_key_header(byte_writer& out, const key_record& key) {
  out.bytes(key_magic, sizeof key_magic);
  out.u16(key_version);
  out.u16(0);
  write_guid(out, key.id);
  out.bytes(key.protection_id, id_size);
  out.u64(key.created);
  out.u32(key.timeout);
  out.u32(key.flags);
  write_name(out, key.name);
}

void write_export_header(byte_writer& out, const export_record& record, bool whole_seals) {
  out.bytes(export_magic, sizeof export_magic);
  out.u16(record.version);
  out.u16(static_cast<std::uint16_t>(record.seal_count));
  for (std::uint32_t i = 0; i < record.seal_count; ++i) {
    const export_seal& seal = record.seals[i];
    out.u32(static_cast<std::uint32_t>(seal.kind));
    if (seal.kind == seal_kind::custodian) {
      if (whole_seals) write_field(out, seal.custodian);
      continue;
    }
    if (seal.kind == seal_kind::certificate && record.version >= 2) {
      if (whole_seals) out.u32(static_cast<std::uint32_t>(digest_size + seal.wrapped.size()));
      out.bytes(seal.certificate, digest_size);
      if (whole_seals) out.bytes(seal.wrapped.data(), seal.wrapped.size());
      continue;
    }
    if (whole_seals) out.u32(password_seal_size);
    out.bytes(seal.salt, salt_size);
    out.u32(seal.iterations);
    if (whole_seals) out.sealed_block(seal.content_key);
  }
}

}  // namespace

std::uint64_t file_time_now() noexcept {
  FILETIME time;
  GetSystemTimeAsFileTime(&time);
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void byte_writer::u16(std::uint16_t value) {
  const std::uint8_t b[2] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)};
  bytes(b, sizeof b);
}

void byte_writer::u32(std::uint32_t value) {
  u16(static_cast<std::uint16_t>(value));
  u16(static_cast<std::uint16_t>(value >> 16));
}

void byte_writer::u64(std::uint64_t value) {
  u32(static_cast<std::uint32_t>(value));
  u32(static_cast<std::uint32_t>(value >> 32));
}

void byte_writer::bytes(const void* data, std::size_t size) {
  if (size == 0) return;
  const auto* from = static_cast<const std::uint8_t*>(data);
  out_.insert(out_.end(), from, from + size);
}

void byte_reader::bytes(void* out, std::size_t size) noexcept {
  if (size == 0) return;
  if (!ok_ || size > size_ - at_) {
    ok_ = false;
    std::memset(out, 0, size);
    return;
  }
  std::memcpy(out, data_ + at_, size);
  at_ += size;
}

std::uint16_t byte_reader::u16() noexcept {
  std::uint8_t b[2];
  bytes(b, sizeof b);
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t byte_reader::u32() noexcept {
  const std::uint32_t low = u16();
  return low | (static_cast<std::uint32_t>(u16()) << 16);
}

std::uint64_t byte_reader::u64() noexcept {
  const std::uint64_t low = u32();
  return low | (static_cast<std::uint64_t>(u32()) << 32);
}

void history_authenticated_bytes(const index_record& index, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_history(writer, index);
}

void index_authenticated_bytes(const index_record& index, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_index_fixed(writer, index, false);
}

void index_signed_bytes(const index_record& index, byte_buffer& out) {
  index_authenticated_bytes(index, out);
  byte_writer writer(out);
  writer.sealed_block(index.keystore_key);
  writer.sealed_block(index.binding);
  write_field(writer, index.certificate);
  write_field(writer, index.wrapped);
}

HRESULT encode_index(const index_record& index, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_index_fixed(writer, index, true);
  writer.sealed_block(index.keystore_key);
  writer.sealed_block(index.binding);
  write_field(writer, index.custodian);
  write_history(writer, index);
  if (index.version >= 2) {
    write_field(writer, index.certificate);
    write_field(writer, index.wrapped);
    writer.sealed_block(index.history_seal);
  }
  if (index.version >= 3) {
    writer.u16(index.protection_version);
    writer.u16(0);
    write_field(writer, index.signature);
  }
  return append_checksum(out);
}

HRESULT decode_index(const byte_buffer& file, index_record& index) {
  std::size_t body = 0;
  if (!checked_body(file, body)) return NTE_BAD_DATA;
  byte_reader in(file.data(), body);
  if (!magic_fits(in, index_magic)) return NTE_BAD_DATA;
  index.version = in.u16();
  if (index.version < 1 || index.version > index_version) return NTE_BAD_DATA;
  index.flags = in.u16();
  const std::uint32_t kind = in.u32();
  if (kind != static_cast<std::uint32_t>(protection_kind::password) &&
      kind != static_cast<std::uint32_t>(protection_kind::certificate))
    return NTE_BAD_DATA;
  index.kind = static_cast<protection_kind>(kind);
  in.bytes(index.protection_id, id_size);
  index.created = in.u64();
  in.bytes(index.salt, salt_size);
  index.iterations = in.u32();
  in.sealed_block(index.keystore_key);
  in.sealed_block(index.binding);
  const std::uint32_t custodian_size = in.u32();
  if (!in.ok() || custodian_size > max_custodian_size || !work_factor_fits(index.iterations)) return NTE_BAD_DATA;
  index.custodian.resize(custodian_size);
  in.bytes(index.custodian.data(), custodian_size);
  index.history_count = in.u32();
  if (!in.ok() || index.history_count > history_capacity) return NTE_BAD_DATA;
  for (std::uint32_t i = 0; i < index.history_count; ++i) {
    in.bytes(index.history[i].salt, salt_size);
    index.history[i].iterations = in.u32();
    in.bytes(index.history[i].hash, key_size);
    if (in.ok() && !work_factor_fits(index.history[i].iterations)) return NTE_BAD_DATA;
  }
  index.certificate.clear();
  index.wrapped.clear();
  index.signature.clear();
  index.protection_version = index.version;
  if (index.version >= 2) {
    if (!read_field(in, max_certificate_size, index.certificate) || !read_field(in, max_wrapped_size, index.wrapped))
      return NTE_BAD_DATA;
    in.sealed_block(index.history_seal);
  }
  if (index.version >= 3) {
    index.protection_version = in.u16();
    if (in.u16() != 0 || index.protection_version < 1 || index.protection_version > index.version ||
        !read_field(in, max_signature_size, index.signature))
      return NTE_BAD_DATA;
  }
  return in.at_end() ? S_OK : NTE_BAD_DATA;
}

void key_authenticated_bytes(const key_record& key, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_key_header(writer, key);
}

HRESULT encode_key(const key_record& key, byte_buffer& out) {
  key_authenticated_bytes(key, out);
  byte_writer writer(out);
  writer.sealed_block(key.secret);
  return append_checksum(out);
}

HRESULT decode_key(const byte_buffer& file, key_record& key) {
  std::size_t body = 0;
  if (!checked_body(file, body)) return NTE_BAD_DATA;
  byte_reader in(file.data(), body);
  if (!magic_fits(in, key_magic) || in.u16() != key_version || in.u16() != 0) return NTE_BAD_DATA;
  key.id = read_guid(in);
  in.bytes(key.protection_id, id_size);
  key.created = in.u64();
  key.timeout = in.u32();
  key.flags = in.u32();
  if (!read_name(in, key.name)) return NTE_BAD_DATA;
  in.sealed_block(key.secret);
  return in.at_end() ? S_OK : NTE_BAD_DATA;
}

void export_authenticated_bytes(const export_record& record, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_export_header(writer, record, false);
}

HRESULT encode_export(const export_record& record, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_export_header(writer, record, true);
  writer.bytes(record.nonce, nonce_size);
  writer.u32(static_cast<std::uint32_t>(record.cipher.size()));
  writer.bytes(record.cipher.data(), record.cipher.size());
  writer.bytes(record.tag, tag_size);
  return append_checksum(out);
}

HRESULT decode_export(const byte_buffer& file, export_record& record) {
  std::size_t body = 0;
  if (!checked_body(file, body)) return NTE_BAD_DATA;
  byte_reader in(file.data(), body);
  if (!magic_fits(in, export_magic)) return NTE_BAD_DATA;
  record.version = in.u16();
  if (record.version != 1 && record.version != export_version) return NTE_BAD_DATA;
  record.seal_count = in.u16();
  if (!in.ok() || record.seal_count == 0 || record.seal_count > export_record::max_seals) return NTE_BAD_DATA;
  for (std::uint32_t i = 0; i < record.seal_count; ++i) {
    export_seal& seal = record.seals[i];
    const std::uint32_t kind = in.u32();
    const std::uint32_t size = in.u32();
    if (!in.ok()) return NTE_BAD_DATA;
    if (kind == static_cast<std::uint32_t>(seal_kind::custodian)) {
      if (size > max_custodian_size) return NTE_BAD_DATA;
      seal.kind = seal_kind::custodian;
      seal.custodian.resize(size);
      in.bytes(seal.custodian.data(), size);
      continue;
    }
    if (kind == static_cast<std::uint32_t>(seal_kind::certificate) && record.version >= 2) {
      if (size <= digest_size || size > digest_size + max_wrapped_size) return NTE_BAD_DATA;
      seal.kind = seal_kind::certificate;
      in.bytes(seal.certificate, digest_size);
      seal.wrapped.resize(size - digest_size);
      in.bytes(seal.wrapped.data(), seal.wrapped.size());
      continue;
    }
    if ((kind != static_cast<std::uint32_t>(seal_kind::password) &&
         kind != static_cast<std::uint32_t>(seal_kind::certificate)) ||
        size != password_seal_size)
      return NTE_BAD_DATA;
    seal.kind = static_cast<seal_kind>(kind);
    in.bytes(seal.salt, salt_size);
    seal.iterations = in.u32();
    in.sealed_block(seal.content_key);
    if (in.ok() && !work_factor_fits(seal.iterations)) return NTE_BAD_DATA;
  }
  in.bytes(record.nonce, nonce_size);
  const std::uint32_t size = in.u32();
  if (!in.ok() || size > max_payload_size) return NTE_BAD_DATA;
  record.cipher.resize(size);
  in.bytes(record.cipher.data(), size);
  in.bytes(record.tag, tag_size);
  return in.at_end() ? S_OK : NTE_BAD_DATA;
}

void encode_payload(const export_payload& payload, byte_buffer& out) {
  out.clear();
  byte_writer writer(out);
  write_guid(writer, payload.id);
  writer.u64(payload.created);
  writer.u32(payload.timeout);
  writer.u32(payload.flags);
  write_name(writer, payload.name);
  writer.bytes(payload.secret.bytes, key_size);
}

HRESULT decode_payload(const byte_buffer& plain, export_payload& payload) {
  byte_reader in(plain.data(), plain.size());
  payload.id = read_guid(in);
  payload.created = in.u64();
  payload.timeout = in.u32();
  payload.flags = in.u32();
  if (!read_name(in, payload.name)) return NTE_BAD_DATA;
  in.bytes(payload.secret.bytes, key_size);
  return in.at_end() ? S_OK : NTE_BAD_DATA;
}

}  // namespace kv::provider
