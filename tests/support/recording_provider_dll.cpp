// recording_provider.dll: the recording provider as an in-process COM server under
// CLSID_KeystoreProvider, for tests that run the real server process. Each instance takes its
// script from the registry and appends its record to a file (recording_provider.h).
//
// Registration is per machine (HKEY_LOCAL_MACHINE\Software\Classes), because Wine's COM looks
// classes up only there: regsvr32 recording_provider.dll, or LoadLibrary + DllRegisterServer.
#include <windows.h>
#include <olectl.h>

#include <new>

#include "tests/support/recording_provider.h"
#include "win/inproc_server.h"
#include "win/owners.h"

namespace {

constexpr const wchar_t* class_key = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";
constexpr const wchar_t* class_name = L"Recording keystore provider (tests)";

HRESULT create_provider(REFIID iid, void** object) {
  try {
    auto journal = kv::test::load_registry_journal();
    const auto scripted = journal->script.results.find(L"create");
    if (scripted != journal->script.results.end() && FAILED(scripted->second)) return scripted->second;
    const kv::com_ptr<IKeystoreProvider> provider(kv::test::make_recording_provider(journal));
    return provider->QueryInterface(iid, object);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

kv::inproc_class_factory class_factory(create_provider);

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_KeystoreProvider) return CLASS_E_CLASSNOTAVAILABLE;
  return class_factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() {
  return kv::test::recording_provider_instances() == 0 && !class_factory.locked() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() { return kv::register_inproc_class(HKEY_LOCAL_MACHINE, class_key, class_name, &class_factory); }

STDAPI DllUnregisterServer() { return kv::unregister_inproc_class(HKEY_LOCAL_MACHINE, class_key); }
