#pragma once
// The registry-script interpreter that writes and removes the server's COM registration.
//
// Grammar (keywords, type letters and root names in any letter case):
//   script := root*
//   root   := ("HKCR" | "HKEY_CLASSES_ROOT" | "HKCU" | "HKEY_CURRENT_USER" | "HKLM" |
//              "HKEY_LOCAL_MACHINE") "{" key* "}"
//   key    := ["NoRemove" | "ForceRemove"] name ["=" data] ["{" (key | value)* "}"]
//   value  := "val" name "=" data
//   data   := "s" quoted            a REG_SZ text
//           | "d" (quoted | word)   a REG_DWORD, decimal or 0x hexadecimal
//   name   := quoted | word         never empty, never holding a backslash
//   quoted := "'" ... "'"           '' stands for one quote
//   word   := characters up to a blank, "{", "}", "=" or "'"
// "= data" on a key sets its default value. %NAME% in a name or a text is replaced by the value
// of the replacement NAME (letter case ignored); %% stands for one %. Replacement text is inserted
// as it stands and never read as script, so a value holding a quote or a brace cannot change
// the script's structure.
//
// Registering creates every key and writes every value; a ForceRemove key is first deleted with
// its whole subtree. Unregistering deletes every key the script names with its whole subtree,
// except NoRemove keys, of which only the values the script names go, and the keys on the way to
// a NoRemove key, which go only when nothing is left beneath them. Keys or values that are
// already missing are no failure.
//
// A script is parsed completely before the registry is touched, so a malformed script writes
// nothing. A registry failure stops the run where it happened; what was written stays.
#include <windows.h>

#include <cstddef>

namespace kv {

// Results beside S_OK and the registry's own errors (HRESULT_FROM_WIN32 of the Win32 code).
inline constexpr HRESULT registrar_e_syntax = static_cast<HRESULT>(0x8007000D);       // ERROR_INVALID_DATA
inline constexpr HRESULT registrar_e_replacement = static_cast<HRESULT>(0x800700CB);  // ERROR_ENVVAR_NOT_FOUND
inline constexpr HRESULT registrar_e_root = static_cast<HRESULT>(0x800703F2);         // ERROR_BADKEY
inline constexpr HRESULT registrar_e_depth = static_cast<HRESULT>(0x800703E9);        // ERROR_STACK_OVERFLOW

// Keys nest at most this deep below their root.
inline constexpr int registrar_max_depth = 32;

struct registrar_replacement {
  const wchar_t* name;
  const wchar_t* value;
};

// The keys that a script's roots stand for. Registering per user points classes_root at
// HKEY_CURRENT_USER\Software\Classes; tests point every root at a scratch key.
struct registrar_roots {
  HKEY classes_root = HKEY_CLASSES_ROOT;
  HKEY current_user = HKEY_CURRENT_USER;
  HKEY local_machine = HKEY_LOCAL_MACHINE;
};

enum class registrar_mode { register_keys, unregister_keys };

// Where a script was refused: 1-based line and column of the offending token, and why.
struct registrar_error {
  unsigned line = 0;
  unsigned column = 0;
  const wchar_t* reason = nullptr;  // a fixed text
};

// Parses `script` (NUL-terminated) with `replacements` and, when it is well-formed, applies it to
// `roots` in `mode`. Answers S_OK, one of the registrar_e_* codes for a refused script (with
// *error filled when given, and nothing written), E_INVALIDARG for a null script, E_OUTOFMEMORY,
// or the first registry failure. Refusals and failures are also written to the trace log.
HRESULT run_registry_script(const wchar_t* script, const registrar_replacement* replacements,
                            std::size_t replacement_count, registrar_mode mode, const registrar_roots& roots,
                            registrar_error* error = nullptr) noexcept;

}  // namespace kv
