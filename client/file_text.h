#pragma once
// Files that dodadev-call reads (requests, certificates, PFX files, secrets): their bytes, kept in
// memory that is zeroed when it goes since any of them may hold a secret, and their text.
#include <windows.h>

#include <cstddef>

#include "client/wiped_text.h"
#include "win/owners.h"

namespace kv::client {

struct file_bytes {
  kv::wiped_mem block;
  std::size_t size = 0;
  const unsigned char* data() const noexcept { return block.as<const unsigned char>(); }
};

// The whole file when it holds at most `limit` bytes. The system's code for a file that cannot be
// opened or read; HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE) above the limit.
HRESULT read_file_bytes(const wchar_t* path, std::size_t limit, file_bytes& bytes);

// Bytes as text, appended to `out`: UTF-16LE after the mark FF FE, else UTF-8 (its mark
// dropped), else, when they are not UTF-8, the ANSI code page.
void append_text_of(const unsigned char* data, std::size_t size, text& out);

}  // namespace kv::client
