#pragma once
// The command line of dodadev-provider-check and its --help text.
#include <windows.h>

#include <string>

namespace kv::check {

struct options {
  bool help = false;
  bool json = false;
  std::wstring provider;  // empty: the registered provider
  std::wstring scratch;   // empty: no keystore round trip
  DWORD time_limit_ms = 30000;
};

// False with `problem` set for wrong usage.
bool parse_options(int argc, const wchar_t* const* argv, options& parsed, std::wstring& problem);

const wchar_t* help_text() noexcept;

}  // namespace kv::check
