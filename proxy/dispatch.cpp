// LU_proxy_disp's IDispatch side, served from the registered type library. The type information
// is loaded the first time a dispatch operation needs it, under the module lock, and kept for the
// life of the process; a failed load is tried again by the next operation.
#include <atomic>
#include <new>
#include <utility>

#include "proxy/lu_proxy_disp.h"
#include "proxy/server_link_internal.h"
#include "win/kv_hresult.h"
#include "win/owners.h"

namespace {

struct dual_type_info {
  // What clients get from GetTypeInfo: the dispatch view of LU_proxy_disp_i.
  ITypeInfo* dispatch;
  // Its vtable half, through which Invoke and GetIDsOfNames reach call_function.
  ITypeInfo* vtable;
};

// Written once under the module lock; the pointers are never released.
std::atomic<ITypeInfo*> loaded_dispatch{nullptr};
ITypeInfo* loaded_vtable = nullptr;

HRESULT load_from_registry(dual_type_info& info) {
  kv::com_ptr<ITypeLib> library;
  KV_RETURN_IF_FAILED(LoadRegTypeLib(LIBID_DoDadevLib, 1, 0, LOCALE_NEUTRAL, library.put()));
  kv::com_ptr<ITypeInfo> dispatch;
  KV_RETURN_IF_FAILED(library->GetTypeInfoOfGuid(IID_LU_proxy_disp_i, dispatch.put()));
  // For a dual interface the vtable half is the type that the dispatch view implements at -1.
  HREFTYPE vtable_ref = 0;
  kv::com_ptr<ITypeInfo> vtable;
  KV_RETURN_IF_FAILED(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref));
  KV_RETURN_IF_FAILED(dispatch->GetRefTypeInfo(vtable_ref, vtable.put()));
  info.dispatch = dispatch.get();
  info.vtable = vtable.get();
  info.dispatch->AddRef();
  info.vtable->AddRef();
  return S_OK;
}

HRESULT type_info(dual_type_info& info) {
  if (ITypeInfo* dispatch = loaded_dispatch.load(std::memory_order_acquire)) {
    info = {dispatch, loaded_vtable};
    return S_OK;
  }
  kv::server_link::module_lock_scope lock;
  if (ITypeInfo* dispatch = loaded_dispatch.load(std::memory_order_acquire)) {
    info = {dispatch, loaded_vtable};
    return S_OK;
  }
  dual_type_info fresh{};
  KV_RETURN_IF_FAILED(load_from_registry(fresh));
  loaded_vtable = fresh.vtable;
  loaded_dispatch.store(fresh.dispatch, std::memory_order_release);
  info = fresh;
  return S_OK;
}

// Script engines (VBScript, JScript) pass every by-reference argument as a reference to a
// VARIANT, while the type information declares ret as BSTR* and ret_code as LONG*, which
// DispInvoke refuses as a type mismatch. For those two arguments that form is taken as well: the
// call gets holders of the declared types, and their values go into the referenced VARIANTs once
// call_function has run. Every other argument form is left to DispInvoke as it is.
class variant_out_arguments {
 public:
  // Arguments run last to first: ret_code, ret, arg.
  static constexpr UINT ret_code_at = 0;
  static constexpr UINT ret_at = 1;

  // True when a positional call of call_function passes ret or ret_code as a VARIANT reference;
  // params() then answers the same call with the declared holders in their place.
  bool take(DISPID member, const DISPPARAMS* given) noexcept {
    if (member != 1 || !given || !given->rgvarg || given->cArgs != 3 || given->cNamedArgs != 0) return false;
    for (UINT i = 0; i < 3; ++i) args_[i] = given->rgvarg[i];
    ret_target_ = variant_reference(args_[ret_at]);
    ret_code_target_ = variant_reference(args_[ret_code_at]);
    if (ret_target_) {
      V_VT(&args_[ret_at]) = VT_BYREF | VT_BSTR;
      V_BSTRREF(&args_[ret_at]) = ret_.put();
    }
    if (ret_code_target_) {
      V_VT(&args_[ret_code_at]) = VT_BYREF | VT_I4;
      V_I4REF(&args_[ret_code_at]) = &ret_code_;
    }
    params_ = {args_, nullptr, 3, 0};
    return ret_target_ || ret_code_target_;
  }

  DISPPARAMS* params() noexcept { return &params_; }

  // After call_function ran: the result as VT_BSTR, or VT_EMPTY where the method handed back none
  // (a refused call leaves ret as it was, as it does for a declared BSTR*), and ret_code as VT_I4.
  // The referenced VARIANTs' previous contents are cleared first.
  HRESULT hand_back() noexcept {
    if (ret_target_ && (ret_ || written_ret_code() >= 0)) {
      const HRESULT cleared = VariantClear(ret_target_);
      if (FAILED(cleared)) return cleared;
      V_VT(ret_target_) = ret_ ? VT_BSTR : VT_EMPTY;
      if (ret_) V_BSTR(ret_target_) = ret_.release();
    }
    if (ret_code_target_) {
      const HRESULT cleared = VariantClear(ret_code_target_);
      if (FAILED(cleared)) return cleared;
      V_VT(ret_code_target_) = VT_I4;
      V_I4(ret_code_target_) = ret_code_;
    }
    return S_OK;
  }

 private:
  // Where the method wrote ret_code: the holder, or the caller's own LONG in the declared form.
  LONG written_ret_code() const noexcept {
    const VARIANTARG& arg = args_[ret_code_at];
    return V_VT(&arg) == (VT_BYREF | VT_I4) && V_I4REF(&arg) ? *V_I4REF(&arg) : -1;
  }

  static VARIANT* variant_reference(const VARIANTARG& arg) noexcept {
    return V_VT(&arg) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&arg) : nullptr;
  }

  VARIANTARG args_[3] = {};
  DISPPARAMS params_ = {};
  VARIANT* ret_target_ = nullptr;
  VARIANT* ret_code_target_ = nullptr;
  kv::unique_bstr ret_;
  LONG ret_code_ = 0;
};

// The request argument of a call of call_function (DISPID 1): named 0, or else the first of
// the positional arguments, which come last to first. Null for other members or when missing.
VARIANTARG* request_argument(DISPID member, const DISPPARAMS* params) noexcept {
  if (member != 1 || !params || !params->rgvarg) return nullptr;
  for (UINT i = 0; i < params->cNamedArgs && params->rgdispidNamedArgs; ++i) {
    if (params->rgdispidNamedArgs[i] == 0) return i < params->cArgs ? &params->rgvarg[i] : nullptr;
  }
  return params->cArgs > params->cNamedArgs ? &params->rgvarg[params->cArgs - 1] : nullptr;
}

// The string a by-reference request argument names: it goes back to the caller as it is.
const wchar_t* referenced_text(const VARIANTARG* arg) noexcept {
  if (!arg) return nullptr;
  if (V_VT(arg) == (VT_BYREF | VT_BSTR)) return V_BSTRREF(arg) ? *V_BSTRREF(arg) : nullptr;
  if (V_VT(arg) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(arg) && V_VT(V_VARIANTREF(arg)) == VT_BSTR) {
    return V_BSTR(V_VARIANTREF(arg));
  }
  return nullptr;
}

}  // namespace

HRESULT STDMETHODCALLTYPE LU_proxy_disp::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE LU_proxy_disp::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  try {
    dual_type_info loaded{};
    KV_RETURN_IF_FAILED(type_info(loaded));
    loaded.dispatch->AddRef();
    *info = loaded.dispatch;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT STDMETHODCALLTYPE LU_proxy_disp::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                                      DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids) return E_POINTER;
  try {
    dual_type_info loaded{};
    KV_RETURN_IF_FAILED(type_info(loaded));
    return DispGetIDsOfNames(loaded.vtable, names, count, ids);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT STDMETHODCALLTYPE LU_proxy_disp::Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                               VARIANT* result, EXCEPINFO* exception, UINT* argument_error) {
  void* callers[4] = {};
  const USHORT found = CaptureStackBackTrace(1, 4, callers, nullptr);
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  try {
    dual_type_info loaded{};
    KV_RETURN_IF_FAILED(type_info(loaded));
    // A request the stub unmarshalled is the stub's to free, unwiped: call_function zeroes what it
    // gets, and the stub's own string is zeroed here in case the type information passed a copy.
    // A by-reference request goes back to the caller and is left alone.
    VARIANTARG* request = request_argument(member, params);
    const dispatched_call call{request && delivered_by_stub(callers, found), referenced_text(request)};
    const dispatched_call* outer = std::exchange(dispatching_, &call);
    // The type information calls call_function through the vtable of this interface pointer.
    HRESULT invoked;
    variant_out_arguments script_form;
    if (!script_form.take(member, params)) {
      invoked = DispInvoke(static_cast<LU_proxy_disp_i*>(this), loaded.vtable, member, flags, params, result,
                           exception, argument_error);
    } else {
      invoked = DispInvoke(static_cast<LU_proxy_disp_i*>(this), loaded.vtable, member, flags, script_form.params(),
                           result, exception, argument_error);
      if (SUCCEEDED(invoked)) invoked = script_form.hand_back();
    }
    dispatching_ = outer;
    if (call.through_stub && V_VT(request) == VT_BSTR && V_BSTR(request)) {
      kv::secure_wipe(V_BSTR(request), SysStringByteLen(V_BSTR(request)));
    }
    return invoked;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
