#pragma once
// Secrets (passwords) that dodadev-call reads instead of taking them from its command line, where
// other programs see them: asked at the console without echo, a line of standard input, the first
// line of a file, or an environment variable.
#include <windows.h>

#include "client/wiped_text.h"

namespace kv::client {

enum class secret_kind { prompt, standard_input, file, environment };

struct secret_source {
  secret_kind kind = secret_kind::prompt;
  text where;  // the file's path or the variable's name
};

// "prompt", "stdin", "file:PATH" or "env:VAR" (PATH and VAR not empty). False for anything else.
bool parse_secret_source(const wchar_t* form, secret_source& source);

// Reads a secret into `secret` (its line end removed); a prompt shows "LABEL: ". Standard input
// gives one line per call, so secrets read one after another take its lines in order; a console
// as standard input is asked like "prompt". On failure *problem says why in words (a fixed text)
// and the result is the system's code, or HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) for standard input
// or a file that ended before a line, or ERROR_ENVVAR_NOT_FOUND, or ERROR_INVALID_HANDLE when
// "prompt" finds no console.
HRESULT read_secret(const secret_source& source, const wchar_t* label, wiped_text& secret, const wchar_t** problem);

// The first line of `value`: everything before its first CR or LF.
void keep_first_line(text& value) noexcept;

}  // namespace kv::client
