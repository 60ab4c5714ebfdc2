#pragma once
// A certificate with its private key from a PFX (PKCS #12) file into the current user's "MY"
// store, where the server looks certificate parameters up: what certutil -importpfx does, for
// systems that have no certutil (Wine).
#include <windows.h>

#include <vector>

#include "client/certificate_file.h"
#include "client/file_text.h"
#include "client/wiped_text.h"

namespace kv::client {

struct imported_certificate {
  text subject;
  certificate_identity identity;
};
using imported_certificates = std::vector<imported_certificate, wiping_allocator<imported_certificate>>;

// The PFX file `path`, checked to be one. On failure *problem says why in words (a fixed text).
HRESULT read_pfx_file(const wchar_t* path, file_bytes& pfx, const wchar_t** problem);

// Opens `pfx` with `password` and adds each certificate in it that comes with a private key to
// CURRENT_USER "MY" (replacing the same certificate there), its key kept in the user's key sets.
// Certificates without a key (a chain's CA certificates) are left out. On failure (a wrong
// password, no certificate with a key, a store that refuses) *problem says why in words.
HRESULT import_pfx(const file_bytes& pfx, const wchar_t* password, imported_certificates& added,
                   const wchar_t** problem);

}  // namespace kv::client
