// call_function: the entry of every request.
#include <cstdint>
#include <new>

#include "proxy/lu_proxy_disp.h"
#include "trace/trace.h"
#include "types/call_text.h"
#include "types/kv_alloc.h"
#include "types/wide.h"
#include "win/call_text_bstr.h"
#include "win/owners.h"
#include "xml/xml_owners.h"

namespace {

constexpr wchar_t reporter[] = L"LU_proxy_disp::call_function";

// Function names that this text appears in, anywhere and in this letter case, are keystore work.
bool names_keystore_work(const wchar_t* name) noexcept {
  static constexpr wchar_t marker[] = L"keystore_";
  for (const wchar_t* start = name; *start; ++start) {
    const wchar_t* a = start;
    const wchar_t* b = marker;
    while (*b && *a == *b) {
      ++a;
      ++b;
    }
    if (!*b) return true;
  }
  return false;
}

// The plain request, alive only while the call parses it. It lives in the objects' heap, not in a
// BSTR: under Wine a large BSTR costs its size in fresh pages on every call.
class plain_request {
 public:
  plain_request() = default;
  plain_request(const plain_request&) = delete;
  plain_request& operator=(const plain_request&) = delete;
  ~plain_request() { kv::object_free(units_); }

  // Decodes `coded` up to its first NUL, whatever its counted length says.
  HRESULT decode(const wchar_t* coded) noexcept {
    const std::size_t m = kv::wide_length(coded);
    const std::size_t n = kv::call_text_plain_length(m);
    if (n >= SIZE_MAX / sizeof(wchar_t)) return E_OUTOFMEMORY;
    units_ = static_cast<wchar_t*>(kv::object_alloc((n + 1) * sizeof(wchar_t)));
    if (!units_) return E_OUTOFMEMORY;
    kv::decode_call_text_units(coded, m, units_);
    units_[n] = 0;
    return S_OK;
  }
  const wchar_t* text() const noexcept { return units_; }

 private:
  wchar_t* units_ = nullptr;
};

// Zeroes every unit a BSTR counts, past a NUL too, through a wipe the compiler keeps.
void wipe_units(BSTR text) noexcept {
  if (text) kv::secure_wipe(text, SysStringByteLen(text));
}

bool in_module(void* address, HMODULE module) noexcept {
  HMODULE found = nullptr;
  return module && address &&
         GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &found) &&
         found == module;
}

HRESULT refuse(const wchar_t* report, HRESULT code, LONG* ret_code) {
  trace_report(reporter, report);
  *ret_code = code;
  return S_FALSE;
}

}  // namespace

thread_local const LU_proxy_disp::dispatched_call* LU_proxy_disp::dispatching_ = nullptr;

// Windows gives every call that its RPC layer dispatches a call context. Wine 8 gives none
// (CoGetCallContext answers RPC_E_CALL_COMPLETE, CoGetCallerTID E_NOTIMPL), so there the stub is
// known by its code: the RPC runtime's NDR stub calls the vtable method itself, or calls Invoke
// through oleaut32's IDispatch stub. An in-process caller is neither.
bool LU_proxy_disp::delivered_by_stub(void* const* callers, USHORT count) noexcept {
  kv::com_ptr<IServerSecurity> context;
  if (SUCCEEDED(CoGetCallContext(IID_IServerSecurity, context.put_void()))) return true;
  const HMODULE automation = GetModuleHandleW(L"oleaut32.dll");
  USHORT at = 0;
  while (at < count && in_module(callers[at], automation)) ++at;
  return at < count && in_module(callers[at], GetModuleHandleW(L"rpcrt4.dll"));
}

HRESULT STDMETHODCALLTYPE LU_proxy_disp::call_function(BSTR arg, BSTR* ret, LONG* ret_code) {
  void* callers[1] = {};
  const USHORT found = CaptureStackBackTrace(1, 1, callers, nullptr);  // the vtable call's caller
  trace_line(reporter, 0, nullptr);
  if (!ret_code) return E_POINTER;
  // Before anything else, the null argument included: only the main thread may get further.
  if (GetCurrentThreadId() != kv::main_thread_id()) {
    return refuse(L"Exit call due to thread mismatch!\n", E_FAIL, ret_code);
  }
  if (!ret) return refuse(L"Call without a place for the result!\n", E_POINTER, ret_code);
  try {
    // The stub frees its copy of the request unwiped; a caller in this process keeps its own.
    // Under Invoke, the call context belongs to the dispatch call: Invoke says what is whose.
    const dispatched_call* dispatched = dispatching_;
    const bool wipe_arg = dispatched ? dispatched->through_stub && arg != dispatched->caller_text
                                     : delivered_by_stub(callers, found);
    return perform_call(arg, ret, ret_code, wipe_arg);
  } catch (const std::bad_alloc&) {
    // Everything the call made is owned by the unwound frames and already freed.
    return refuse(L"Call ran out of memory!\n", E_OUTOFMEMORY, ret_code);
  } catch (...) {
    return refuse(L"Call failed unexpectedly!\n", E_UNEXPECTED, ret_code);
  }
}

HRESULT LU_proxy_disp::perform_call(BSTR arg, BSTR* ret, LONG* ret_code, bool wipe_arg) {
  kv::unique_bstr result;
  HRESULT code = S_OK;
  {
    kv::xml_document document;
    if (!document) {
      if (wipe_arg) wipe_units(arg);
      return refuse(L"Exit call, unable to create XML document!\n", E_INVALIDARG, ret_code);
    }
    if (!arg) return refuse(L"Call with a NULL argument!\n", E_INVALIDARG, ret_code);

    bool loaded;
    {
      plain_request decoded;
      const HRESULT decoded_hr = decoded.decode(arg);
      if (wipe_arg) wipe_units(arg);
      if (FAILED(decoded_hr)) return refuse(L"Unable to decode function call!\n", decoded_hr, ret_code);
      loaded = document->load_from_string(decoded.text()) != 0;
    }
    if (!loaded) return refuse(L"Exit call, unable to interpret XML document!\n", E_INVALIDARG, ret_code);

    KV_xml_node* root = document->get_root();
    KV_xml_node* function = root ? root->get_child(0, L"function") : nullptr;
    if (!function) return refuse(L"Exit call, XML document contained no function!\n", E_INVALIDARG, ret_code);
    const wchar_t* name = function->get_attribute_value(L"name");
    if (!name || !*name) return refuse(L"Exit call, function name is missing!\n", E_INVALIDARG, ret_code);

    // The operation gets the document as written out again, not the client's own text.
    kv::xml_text request(document.get(), document->save_to_string());
    if (names_keystore_work(name)) code = keystore_perform_operation(name, request.get(), result.put());
  }

  if (FAILED(code)) return refuse(L"Call returned error code!\n", code, ret_code);
  if (!result) {
    *ret = nullptr;
    *ret_code = code;
    return S_OK;
  }
  const HRESULT coded_hr = encode_call_text(result.get(), ret);
  result.reset();
  if (FAILED(coded_hr)) return refuse(L"Return value coding failed!\n", coded_hr, ret_code);
  *ret_code = code;
  return S_OK;
}
