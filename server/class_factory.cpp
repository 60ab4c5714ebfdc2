#include "server/class_factory.h"

#include <new>

#include "types/kv_alloc.h"
#include "win/com_object.h"

namespace kv {

namespace {

class KV_class_factory final : public com_object<IClassFactory, &IID_IClassFactory> {
 public:
  KV_class_factory(CDoDadevModule& module, object_creator creator) noexcept : module_(module), creator_(creator) {}

  static void* operator new(std::size_t bytes) { return mem_alloc_or_throw(bytes); }
  static void operator delete(void* block) noexcept { mem_free(block); }

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
  ~KV_class_factory() override = default;

  CDoDadevModule& module_;
  object_creator creator_;
};

}  // namespace

HRESULT create_class_factory(CDoDadevModule& module, object_creator creator, REFIID riid, void** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!creator) return E_INVALIDARG;
  return make_com_object<KV_class_factory>(riid, object, module, creator);
}

}  // namespace kv
