// The parameter getters: each finds its parameter in the request and converts its text.
#include <windows.h>
#include <wincrypt.h>

#include "crypto/kv_csp.h"
#include "proxy/lu_proxy_disp.h"
#include "proxy/parameter_reader.h"
#include "proxy/uint_text.h"
#include "types/kv_alloc.h"

namespace {

constexpr wchar_t bool_getter[] = L"LU_proxy_disp::get_parameter_bool";
constexpr wchar_t uint_getter[] = L"LU_proxy_disp::get_parameter_uint";
constexpr wchar_t strg_getter[] = L"LU_proxy_disp::get_parameter_strg";
constexpr wchar_t path_getter[] = L"LU_proxy_disp::get_parameter_path";
constexpr wchar_t guid_getter[] = L"LU_proxy_disp::get_parameter_guid";
constexpr wchar_t cert_getter[] = L"LU_proxy_disp::get_parameter_cert";

// Bytes decoded from a Base64 attribute, freed with the system's ordinary deallocation.
struct decoded_bytes {
  kv::unique_mem<unsigned char> data;
  std::uint32_t size = 0;
};

void decode_attribute(KV_xml_node* node, const wchar_t* attribute, decoded_bytes& out) {
  const KV_string text(node->get_attribute_value(attribute));
  text.decode_base64(out.data.put(), &out.size, 0);
}

// A getter on its own parses the request for its one parameter.
template <typename Value, typename Read>
Value read_alone(const wchar_t* request, const wchar_t* name, std::int32_t* ok, Read read) {
  if (!ok || !*ok) return Value();
  kv::parameter_reader reader(request, &name, 1);
  return read(reader, name, ok);
}

}  // namespace

std::int32_t LU_proxy_disp::read_parameter_bool(kv::parameter_reader& reader, const wchar_t* name,
                                                std::int32_t* ok) {
  KV_xml_node* parameter = reader.find(bool_getter, name, ok);
  if (!parameter) return 0;
  const wchar_t* text = parameter->get_text();
  if (kv::equals_nocase(text, L"true")) {
    *ok = 1;
    return 1;
  }
  if (kv::equals_nocase(text, L"false")) {
    *ok = 1;
    return 0;
  }
  kv::parameter_reader::report_missing(bool_getter, name, ok);
  return 0;
}

std::uint32_t LU_proxy_disp::read_parameter_uint(kv::parameter_reader& reader, const wchar_t* name,
                                                 std::int32_t* ok) {
  KV_xml_node* parameter = reader.find(uint_getter, name, ok);
  if (!parameter) return 0;
  std::uint32_t value = 0;
  if (!kv::scan_uint(parameter->get_text(), &value)) {
    kv::parameter_reader::report_missing(uint_getter, name, ok);
    return 0;
  }
  *ok = 1;
  return value;
}

KV_string LU_proxy_disp::read_parameter_strg(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok) {
  KV_xml_node* parameter = reader.find(strg_getter, name, ok);
  if (!parameter) return KV_string();
  KV_string value(parameter->get_text());
  *ok = 1;
  return value;
}

KV_path LU_proxy_disp::read_parameter_path(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok) {
  KV_xml_node* parameter = reader.find(path_getter, name, ok);
  if (!parameter) return KV_path();
  KV_path value(parameter->get_text());
  *ok = 1;
  return value;
}

// A malformed GUID text is not a failure: it gives the all-zero GUID.
KV_guid LU_proxy_disp::read_parameter_guid(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok) {
  KV_xml_node* parameter = reader.find(guid_getter, name, ok);
  if (!parameter) return KV_guid();
  KV_guid value(parameter->get_text());
  *ok = 1;
  return value;
}

// A certificate that is not in the store, or is revoked, still counts as delivered: the
// descriptor then holds no certificate, and the provider decides what that means.
KV_certificate LU_proxy_disp::read_parameter_cert(kv::parameter_reader& reader, const wchar_t* name,
                                                  std::int32_t* ok) {
  KV_xml_node* parameter = reader.find(cert_getter, name, ok);
  if (!parameter) return KV_certificate();
  KV_xml_node* certificate = parameter->get_child(0, L"certificate");
  if (!certificate) {
    kv::parameter_reader::report_missing(cert_getter, name, ok);
    return KV_certificate();
  }
  decoded_bytes serial_number;
  decoded_bytes issuer;
  decode_attribute(certificate, L"serial_number", serial_number);
  decode_attribute(certificate, L"issuer", issuer);
  const CRYPT_INTEGER_BLOB serial_blob{serial_number.size, serial_number.data.get()};
  const CERT_NAME_BLOB issuer_blob{issuer.size, issuer.data.get()};
  KV_certificate value;
  // A missing attribute, or one without Base64 in it, names no certificate: the store is not
  // asked, and the descriptor stays empty like that of a certificate that was not found.
  if (serial_number.size && issuer.size) {
    KV_csp csp;
    value = csp.get_certificate(serial_blob, issuer_blob);
  }
  *ok = 1;
  return value;
}

std::int32_t LU_proxy_disp::get_parameter_bool(const wchar_t* request, const wchar_t* name, std::int32_t* ok) {
  return read_alone<std::int32_t>(request, name, ok, read_parameter_bool);
}
std::uint32_t LU_proxy_disp::get_parameter_uint(const wchar_t* request, const wchar_t* name, std::int32_t* ok) {
  return read_alone<std::uint32_t>(request, name, ok, read_parameter_uint);
}
KV_string LU_proxy_disp::get_parameter_strg(const wchar_t* request, const wchar_t* name, std::int32_t* ok) {
  return read_alone<KV_string>(request, name, ok, read_parameter_strg);
}
KV_path LU_proxy_disp::get_parameter_path(const wchar_t* request, const wchar_t* name, std::int32_t* ok) {
  return read_alone<KV_path>(request, name, ok, read_parameter_path);
}
KV_guid LU_proxy_disp::get_parameter_guid(const wchar_t* request, const wchar_t* name, std::int32_t* ok) {
  return read_alone<KV_guid>(request, name, ok, read_parameter_guid);
}
KV_certificate LU_proxy_disp::get_parameter_cert(const wchar_t* request, const wchar_t* name, std::int32_t* ok) {
  return read_alone<KV_certificate>(request, name, ok, read_parameter_cert);
}
