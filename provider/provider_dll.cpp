// dodadev_provider.dll: the file keystore as an in-process COM server under CLSID_KeystoreProvider.
//   regsvr32 dodadev_provider.dll              per machine (HKLM\Software\Classes)
//   regsvr32 /n /i:user dodadev_provider.dll   per user (HKCU\Software\Classes)
// The matching /u forms remove the registration.
#include <windows.h>
#include <olectl.h>

#include <new>

#include "provider/provider_object.h"
#include "types/wide.h"
#include "win/inproc_server.h"

namespace {

constexpr const wchar_t* class_key = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";
constexpr wchar_t class_name[] = L"DoDadev file keystore provider";

HRESULT create_provider(REFIID iid, void** object) {
  kv::provider::settings config;
#ifdef KV_PROVIDER_TEST_WORK_FACTOR
  // The test build only (provider/CMakeLists.txt): the shipped DLL has no way to lower the factor.
  config.work_factor = KV_PROVIDER_TEST_WORK_FACTOR;
#endif
  return kv::provider::make_keystore_provider(config, iid, object);
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
  return kv::provider::live_keystore_providers() == 0 && !class_factory.locked() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() { return kv::register_inproc_class(HKEY_LOCAL_MACHINE, class_key, class_name, &class_factory); }

STDAPI DllUnregisterServer() { return kv::unregister_inproc_class(HKEY_LOCAL_MACHINE, class_key); }

// "user" (any letter case) registers or unregisters for the calling user only; no text or an
// empty one does it per machine, like DllRegisterServer.
STDAPI DllInstall(BOOL install, LPCWSTR command) {
  HKEY root = HKEY_LOCAL_MACHINE;
  if (command && *command) {
    if (!kv::equals_nocase(command, L"user")) return E_INVALIDARG;
    root = HKEY_CURRENT_USER;
  }
  return install ? kv::register_inproc_class(root, class_key, class_name, &class_factory)
                 : kv::unregister_inproc_class(root, class_key);
}
