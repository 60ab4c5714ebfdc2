#include "checker/out_texts.h"

#include <cstring>
#include <cwchar>

namespace kv::check {

namespace {

// Texts the checker accepts as an answer: 256 MiB is far past any path list.
constexpr std::size_t max_bstr_bytes = 256u << 20;

bool readable(const void* start, std::size_t bytes) noexcept {
  auto at = reinterpret_cast<std::uintptr_t>(start);
  const std::uintptr_t end = at + bytes;
  if (end < at) return false;
  while (at < end) {
    MEMORY_BASIC_INFORMATION region;
    if (!VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region)) return false;
    const DWORD protect = region.Protect;
    const bool can_read = region.State == MEM_COMMIT && !(protect & (PAGE_NOACCESS | PAGE_GUARD)) &&
                          (protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                      PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY));
    if (!can_read) return false;
    at = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
  }
  return true;
}

std::wstring hex_unit(wchar_t unit) {
  wchar_t text[8];
  std::swprintf(text, 8, L"U+%04X", static_cast<unsigned>(unit));
  return text;
}

}  // namespace

bstr_examined examine_bstr(BSTR text) noexcept {
  bstr_examined seen;
  if (!text) return seen;
  seen.real = false;
  const auto* prefix = reinterpret_cast<const unsigned char*>(text) - sizeof(UINT32);
  if ((reinterpret_cast<std::uintptr_t>(text) & 1) || !readable(prefix, sizeof(UINT32))) {
    seen.problem = L"the pointer does not lead to readable memory";
    return seen;
  }
  UINT32 bytes = 0;
  std::memcpy(&bytes, prefix, sizeof bytes);
  if (bytes % sizeof(wchar_t)) {
    seen.problem = L"its length prefix counts an odd number of bytes (" + std::to_wstring(bytes) + L")";
    return seen;
  }
  if (bytes > max_bstr_bytes || !readable(text, bytes + sizeof(wchar_t))) {
    seen.problem = L"its length prefix (" + std::to_wstring(bytes) + L" bytes) runs past readable memory";
    return seen;
  }
  seen.units = bytes / sizeof(wchar_t);
  // SysAllocString and SysAllocStringLen always put a NUL after the counted units.
  if (text[seen.units] != 0) {
    seen.problem = L"no NUL follows the " + std::to_wstring(seen.units) +
                   L" units its length prefix counts: it was not made by SysAllocString or SysAllocStringLen";
    return seen;
  }
  seen.real = true;
  return seen;
}

std::wstring path_list_problem(const wchar_t* text, UINT units) {
  UINT at = 0;
  for (;;) {
    if (at >= units) {
      return units == 0 ? L"the BSTR is empty: an empty list is one NUL, SysAllocStringLen(L\"\", 1), or NULL"
                        : L"no empty text ends the list within the BSTR's " + std::to_wstring(units) +
                              L" units (a list made with SysAllocString stops at its first NUL)";
    }
    if (text[at] == 0) break;
    while (at < units && text[at]) ++at;
    ++at;
  }
  const UINT end = at + 1;
  if (end != units) {
    return L"the list ends after " + std::to_wstring(end) + L" units, but the BSTR counts " + std::to_wstring(units);
  }
  return {};
}

std::wstring single_path_problem(const wchar_t* text, UINT units) {
  for (UINT i = 0; i < units; ++i) {
    if (!text[i]) {
      return L"a NUL at unit " + std::to_wstring(i) + L" of " + std::to_wstring(units) +
             L": the server passes on only the text before it";
    }
  }
  return {};
}

std::vector<std::wstring> path_list_entries(const wchar_t* text, UINT units) {
  std::vector<std::wstring> entries;
  for (UINT start = 0; start < units && text[start];) {
    UINT end = start;
    while (end < units && text[end]) ++end;
    entries.emplace_back(text + start, end - start);
    start = end + 1;
  }
  return entries;
}

std::wstring single_path_text(const wchar_t* text, UINT units) {
  UINT end = 0;
  while (end < units && text[end]) ++end;
  return std::wstring(text, end);
}

std::wstring xml_character_problem(const std::wstring& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    std::wstring what;
    if (unit < 0x20 && unit != L'\t' && unit != L'\n' && unit != L'\r') {
      what = L"the control character " + hex_unit(unit);
    } else if (unit == 0xFFFE || unit == 0xFFFF) {
      what = L"the non-character " + hex_unit(unit);
    } else if (high && !(i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)) {
      what = L"the unpaired high surrogate " + hex_unit(unit);
    } else if (low) {
      what = L"the unpaired low surrogate " + hex_unit(unit);
    } else if (high) {
      ++i;  // a pair: the low half is part of it
      continue;
    }
    if (!what.empty()) {
      return what + L" at unit " + std::to_wstring(i) + L", which XML does not allow: a client's parser refuses the result";
    }
  }
  return {};
}

}  // namespace kv::check
