#pragma once
// The call text coding into COM strings (Windows only; the coding itself is in call_text.h).
#include <windows.h>
#include <oleauto.h>

// Both answer S_OK, E_INVALIDARG when the text or the out pointer is null, or E_OUTOFMEMORY when
// the string cannot be allocated. On failure *out (when given) holds null. On success the caller
// owns *out and frees it with SysFreeString; its counted length (SysStringLen) is one unit longer
// than the text, and that last counted unit is 0.

// Codes the NUL-terminated `plain` into a new string of U+4000..U+BFFF characters.
HRESULT encode_call_text(const wchar_t* plain, BSTR* coded);

// Undoes the coding of the NUL-terminated `coded`. Characters are not validated: text that the
// encoder did not make decodes to arbitrary units.
HRESULT decode_call_text(const wchar_t* coded, BSTR* plain);
