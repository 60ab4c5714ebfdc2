#pragma once
// What dodadev-call sends: a request document built from a function name and name=value
// parameters, and the texts it shows a person.
#include <windows.h>

#include <cstddef>

#include "client/wiped_text.h"

namespace kv::client {

// The five XML special characters as references (& < > " and the apostrophe as &#39;).
text escape_xml(const wchar_t* value);
// The same, appended to `out`: a secret goes into the request without a copy of its own.
void append_escaped(text& out, const wchar_t* value);

// One parameter of the request. A certificate parameter carries the two Base64 texts of its
// "certificate" element instead of a value; until they are read from a certificate file,
// `certificate_file` names that file. Move-only: the value may be a secret, wiped when it goes.
struct request_parameter {
  text name;
  wiped_text value;
  bool secret = false;  // read from a secret source: shown as ********, never as it is
  bool certificate = false;
  text certificate_file;
  text serial_number;
  text issuer;
};

// Reads "NAME=VALUE" (the first "=" splits; NAME must not be empty). A parameter named
// "certificate" or "new_certificate", or any with `as_certificate`, takes the value "@FILE" (a
// certificate file, read later) or "serial:BASE64,issuer:BASE64". Only certificate parameters
// read "@": any other value starting with it is sent as it stands. False with *problem set (a
// fixed text) when malformed.
bool parse_parameter(const wchar_t* argument, bool as_certificate, request_parameter& parameter,
                     const wchar_t** problem);

// How a request is built: to be sent, or to be shown to a person, with every secret value
// replaced by ********.
enum class request_view { sent, shown };

// <?xml version="1.0"?><function name="..."><parameter name="...">value</parameter>...</function>
// with every name and value escaped; a certificate parameter holds
// <certificate serial_number="..." issuer="..."/>.
text build_request(const wchar_t* function, const request_parameter* parameters, std::size_t count,
                   request_view view = request_view::sent);

// "0x80040154 Class not registered": the code in hex and the system's text for it, or for the
// common activation codes the usual text where the system has none; "0x00000001 S_FALSE"; other
// success codes in hex alone.
text describe_result(HRESULT code);

// What to do about a failed activation or call, for the codes people meet; null for others.
const wchar_t* activation_advice(HRESULT code) noexcept;

}  // namespace kv::client
