#pragma once
// Certificates for certificate parameters: read from a PEM or DER file, and named the way a
// request carries them.
#include <windows.h>
#include <wincrypt.h>

#include "client/wiped_text.h"
#include "win/cert_owners.h"

namespace kv::client {

// The serial number (least significant byte first, as the certificate store holds it) and the
// encoded issuer name of a certificate, each in Base64 without line breaks: what the
// "certificate" element of a request carries.
struct certificate_identity {
  text serial_number;
  text issuer;
};
certificate_identity identity_of(PCCERT_CONTEXT certificate);

// The subject as a person reads it, most specific part first ("CN=Keldra User keyed, O=Orvane Test").
text subject_of(PCCERT_CONTEXT certificate);

// The certificate in `path`: the first CERTIFICATE block of a PEM file, else the whole file as
// DER. On failure *problem says what is wrong in words (a fixed text) and the result is the
// system's code (a file that cannot be read) or the decoder's.
HRESULT read_certificate_file(const wchar_t* path, kv::unique_cert_context& certificate, const wchar_t** problem);

}  // namespace kv::client
