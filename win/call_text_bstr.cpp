#include "win/call_text_bstr.h"

#include <cstddef>

#include "types/call_text.h"
#include "types/kv_alloc.h"
#include "types/wide.h"

namespace {

// A BSTR stores its byte count in 32 bits; lengths beyond that cannot be allocated.
constexpr std::size_t largest_bstr_units = 0x7FFFFFF0u / sizeof(wchar_t);

// A BSTR of `text_units` units plus one counted 0 unit (and the terminator SysAllocStringLen adds).
BSTR allocate_result(std::size_t text_units) {
  if (text_units >= largest_bstr_units) return nullptr;
  if (kv::mem_injected_failure()) return nullptr;
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(text_units + 1));
  if (result) result[text_units] = 0;
  return result;
}

}  // namespace

HRESULT encode_call_text(const wchar_t* plain, BSTR* coded) {
  if (!coded) return E_INVALIDARG;
  *coded = nullptr;
  if (!plain) return E_INVALIDARG;
  const std::size_t n = kv::wide_length(plain);
  const std::size_t m = kv::call_text_coded_length(n);
  BSTR result = allocate_result(m);
  if (!result) return E_OUTOFMEMORY;
  kv::encode_call_text_units(plain, n, result);
  *coded = result;
  return S_OK;
}

HRESULT decode_call_text(const wchar_t* coded, BSTR* plain) {
  if (!plain) return E_INVALIDARG;
  *plain = nullptr;
  if (!coded) return E_INVALIDARG;
  const std::size_t m = kv::wide_length(coded);
  const std::size_t n = kv::call_text_plain_length(m);
  BSTR result = allocate_result(n);
  if (!result) return E_OUTOFMEMORY;
  kv::decode_call_text_units(coded, m, result);
  *plain = result;
  return S_OK;
}
