#pragma once
// What dodadev-call sends: a request document built from a function name and name=value
// parameters, and the texts it shows a person.
#include <windows.h>

#include <string>

#include "types/kv_paths.h"

namespace kv::client {

using text = std::basic_string<wchar_t, std::char_traits<wchar_t>, mem_allocator<wchar_t>>;

// The five XML special characters as references (& < > " and the apostrophe as &#39;).
text escape_xml(const wchar_t* value);

// One parameter of the request. A certificate parameter carries the two Base64 texts of its
// "certificate" element instead of a value.
struct request_parameter {
  text name;
  text value;
  bool certificate = false;
  text serial_number;
  text issuer;
};

// Reads "NAME=VALUE" (the first "=" splits; NAME must not be empty). A parameter named
// "certificate" or "new_certificate", or any with `as_certificate`, takes the value
// "serial:BASE64,issuer:BASE64". False with *problem set (a fixed text) when malformed.
bool parse_parameter(const wchar_t* argument, bool as_certificate, request_parameter& parameter,
                     const wchar_t** problem);

// <?xml version="1.0"?><function name="..."><parameter name="...">value</parameter>...</function>
// with every name and value escaped; a certificate parameter holds
// <certificate serial_number="..." issuer="..."/>.
text build_request(const wchar_t* function, const request_parameter* parameters, std::size_t count);

// "0x80040154 Class not registered": the code in hex and the system's text for it, or for the
// common activation codes the usual text where the system has none; "0x00000001 S_FALSE"; other
// success codes in hex alone.
text describe_result(HRESULT code);

// What to do about a failed activation or call, for the codes people meet; null for others.
const wchar_t* activation_advice(HRESULT code) noexcept;

}  // namespace kv::client
