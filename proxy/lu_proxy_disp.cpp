// LU_proxy_disp as a COM object: creation, aggregation, reference count and server lock.
#include "proxy/lu_proxy_disp.h"

#include <new>

#include "proxy/server_link_internal.h"
#include "types/kv_alloc.h"

void* LU_proxy_disp::operator new(std::size_t size) { return kv::mem_alloc_or_throw(size); }
void LU_proxy_disp::operator delete(void* block) noexcept { kv::mem_free(block); }

LU_proxy_disp::LU_proxy_disp(IUnknown* outer) noexcept
    : inner_(this), controlling_(outer ? outer : &inner_), aggregated_(outer != nullptr) {
  kv::server_link::lock_server();
}

LU_proxy_disp::~LU_proxy_disp() { kv::server_link::unlock_server(); }

// Identity: the interface pointer when alone; the inner unknown when aggregated, since the outer
// object answers IUnknown for the aggregate and holds us only through the inner unknown.
HRESULT STDMETHODCALLTYPE LU_proxy_disp::inner_unknown::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_LU_proxy_disp_i || riid == IID_IDispatch) {
    *object = static_cast<LU_proxy_disp_i*>(owner_);
  } else if (riid == IID_IUnknown) {
    *object = owner_->aggregated_ ? static_cast<IUnknown*>(this) : static_cast<LU_proxy_disp_i*>(owner_);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  static_cast<IUnknown*>(*object)->AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE LU_proxy_disp::inner_unknown::AddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&owner_->refs_));
}

ULONG STDMETHODCALLTYPE LU_proxy_disp::inner_unknown::Release() {
  const LONG refs = InterlockedDecrement(&owner_->refs_);
  if (refs == 0) delete owner_;
  return static_cast<ULONG>(refs);
}

HRESULT STDMETHODCALLTYPE LU_proxy_disp::QueryInterface(REFIID riid, void** object) {
  return controlling_->QueryInterface(riid, object);
}

ULONG STDMETHODCALLTYPE LU_proxy_disp::AddRef() { return controlling_->AddRef(); }

ULONG STDMETHODCALLTYPE LU_proxy_disp::Release() { return controlling_->Release(); }

namespace kv {

HRESULT create_lu_proxy_disp(IUnknown* outer, REFIID riid, void** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  // An aggregate must hold the inner unknown; any other interface would delegate to the outer
  // object before the outer object knows us.
  if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  LU_proxy_disp* created = nullptr;
  try {
    created = new LU_proxy_disp(outer);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  // The temporary reference keeps the object alive through the query and ends it when the
  // query failed.
  created->inner_.AddRef();
  const HRESULT hr = created->inner_.QueryInterface(riid, object);
  created->inner_.Release();
  return hr;
}

}  // namespace kv
