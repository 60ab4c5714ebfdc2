#include "server/class_factory.h"

#include <new>

#include "types/kv_alloc.h"

namespace kv {

namespace {

class KV_class_factory final : public IClassFactory {
 public:
  KV_class_factory(CDoDadevModule& module, object_creator creator) noexcept : module_(module), creator_(creator) {}

  static void* operator new(std::size_t bytes) { return mem_alloc_or_throw(bytes); }
  static void operator delete(void* block) noexcept { mem_free(block); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    // An aggregate may only ask for the inner object's own IUnknown.
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return creator_(outer, riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      module_.Lock();
    } else {
      module_.Unlock();
    }
    return S_OK;
  }

 private:
  ~KV_class_factory() = default;

  LONG references_ = 1;
  CDoDadevModule& module_;
  object_creator creator_;
};

}  // namespace

HRESULT create_class_factory(CDoDadevModule& module, object_creator creator, REFIID riid, void** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!creator) return E_INVALIDARG;
  KV_class_factory* factory = nullptr;
  try {
    factory = new KV_class_factory(module, creator);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

}  // namespace kv
