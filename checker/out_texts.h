#pragma once
// What the checker reads in a provider's out texts, each check as the server depends on it: that
// the pointer is a real BSTR (the server reads its length and frees it with SysFreeString), that
// a path list ends with its empty text exactly at the BSTR's length, that a single path has no
// NUL inside its length, and that the texts the server passes on hold only characters that an
// XML 1.0 parser accepts.
#include <windows.h>

#include <string>
#include <vector>

namespace kv::check {

struct bstr_examined {
  bool real = true;     // NULL counts as real: the server frees nothing then
  UINT units = 0;       // the length its prefix gives
  std::wstring problem; // why it is no real BSTR
};

// Reads only memory that is committed and readable.
bstr_examined examine_bstr(BSTR text) noexcept;

// Empty when `units` units at `text` are a well-formed path list; otherwise what is wrong.
std::wstring path_list_problem(const wchar_t* text, UINT units);
// Empty when the single path has no NUL within its length.
std::wstring single_path_problem(const wchar_t* text, UINT units);

// The texts the server passes on: the entries of a path list as it walks them (up to the first
// empty text or the length), or a single path up to its first NUL.
std::vector<std::wstring> path_list_entries(const wchar_t* text, UINT units);
std::wstring single_path_text(const wchar_t* text, UINT units);

// Empty when every character is one that XML 1.0 allows; otherwise the first one that is not,
// and where.
std::wstring xml_character_problem(const std::wstring& text);

}  // namespace kv::check
