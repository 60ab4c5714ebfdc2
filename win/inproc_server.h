#pragma once
// What an in-process COM server DLL needs besides its one class: a class factory that lives as
// long as the module, the module's lock count, and its registration keys.
#include <windows.h>

namespace kv {

// Creates the DLL's class (never aggregated) and answers the interface asked for.
using inproc_creator = HRESULT (*)(REFIID iid, void** object);

class inproc_class_factory final : public IClassFactory {
 public:
  explicit inproc_class_factory(inproc_creator create) noexcept : create_(create) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  // One static instance lives as long as the module.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  // True while a client holds the module through LockServer.
  bool locked() const noexcept;

 private:
  inproc_creator create_;
  LONG locks_ = 0;
};

// Writes <root>\<class_key> (for example "Software\Classes\CLSID\{...}") with `name` as its
// default value and InprocServer32 = the path of the module that holds `address_in_module`,
// ThreadingModel "Both". On failure removes what it wrote and answers SELFREG_E_CLASS.
HRESULT register_inproc_class(HKEY root, const wchar_t* class_key, const wchar_t* name, const void* address_in_module);
// Removes <root>\<class_key>; a key that is not there is no failure.
HRESULT unregister_inproc_class(HKEY root, const wchar_t* class_key);

}  // namespace kv
