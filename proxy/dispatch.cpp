// LU_proxy_disp's IDispatch side, served from the registered type library. The type information
// is loaded the first time a dispatch operation needs it, under the module lock, and kept for the
// life of the process; a failed load is tried again by the next operation.
#include <atomic>
#include <new>

#include "proxy/lu_proxy_disp.h"
#include "proxy/server_link_internal.h"
#include "types/owners.h"

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
  HRESULT hr = LoadRegTypeLib(LIBID_DoDadevLib, 1, 0, LOCALE_NEUTRAL, library.put());
  if (FAILED(hr)) return hr;
  kv::com_ptr<ITypeInfo> dispatch;
  hr = library->GetTypeInfoOfGuid(IID_LU_proxy_disp_i, dispatch.put());
  if (FAILED(hr)) return hr;
  // For a dual interface the vtable half is the type that the dispatch view implements at -1.
  HREFTYPE vtable_ref = 0;
  kv::com_ptr<ITypeInfo> vtable;
  hr = dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref);
  if (SUCCEEDED(hr)) hr = dispatch->GetRefTypeInfo(vtable_ref, vtable.put());
  if (FAILED(hr)) return hr;
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
  const HRESULT hr = load_from_registry(fresh);
  if (FAILED(hr)) return hr;
  loaded_vtable = fresh.vtable;
  loaded_dispatch.store(fresh.dispatch, std::memory_order_release);
  info = fresh;
  return S_OK;
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
    const HRESULT hr = type_info(loaded);
    if (FAILED(hr)) return hr;
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
    const HRESULT hr = type_info(loaded);
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(loaded.vtable, names, count, ids);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT STDMETHODCALLTYPE LU_proxy_disp::Invoke(DISPID member, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                               VARIANT* result, EXCEPINFO* exception, UINT* argument_error) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  try {
    dual_type_info loaded{};
    const HRESULT hr = type_info(loaded);
    if (FAILED(hr)) return hr;
    // The type information calls call_function through the vtable of this interface pointer.
    return DispInvoke(static_cast<LU_proxy_disp_i*>(this), loaded.vtable, member, flags, params, result, exception,
                      argument_error);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
