// bench_baseline_server.exe: a local server built like DoDadev.exe (same module, entry, class
// factory and message loop) whose call_function only creates and releases the keystore
// provider. bench_server measures DoDadev.exe against it: what is left is the cost of the call
// path itself.
#include <windows.h>
#include <oleauto.h>

#include <new>

#include "bench/bench_baseline.h"
#include "proxy/dodadev_h.h"
#include "proxy/provider_factory.h"
#include "server/dodadev_module.h"
#include "server/server_entry.h"
#include "types/kv_alloc.h"
#include "win/com_object.h"

namespace {

CDoDadevModule* the_module = nullptr;

class baseline_object final : public kv::com_object<LU_proxy_disp_i, &IID_IDispatch, &IID_LU_proxy_disp_i> {
 public:
  baseline_object() { the_module->Lock(); }

  static void* operator new(std::size_t bytes) { return kv::mem_alloc_or_throw(bytes); }
  static void operator delete(void* block) noexcept { kv::mem_free(block); }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE call_function(BSTR, BSTR* ret, LONG* ret_code) override {
    kv::com_ptr<IKeystoreProvider> provider;
    const HRESULT hr = kv::create_keystore_provider(provider.put());
    *ret = nullptr;
    *ret_code = hr;
    return SUCCEEDED(hr) ? S_OK : S_FALSE;
  }

 private:
  ~baseline_object() override { the_module->Unlock(); }
};

HRESULT create_baseline(IUnknown* outer, REFIID riid, void** object) {
  if (outer) return CLASS_E_NOAGGREGATION;
  return kv::make_com_object<baseline_object>(riid, object);
}

kv::class_object_entry class_objects[] = {{&kv::bench::clsid_baseline, 0, create_baseline, nullptr, 0}};
CDoDadevModule module(class_objects, 1);

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show) {
  the_module = &module;
  kv::server_environment environment;
  environment.instance_mutex = kv::bench::baseline_mutex;
  return kv::server_entry(module, GetCommandLineW(), nullptr, show, environment);
}
