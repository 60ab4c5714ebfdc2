// dodadev_provider.dll: the file keystore as an in-process COM server under CLSID_KeystoreProvider.
//   regsvr32 dodadev_provider.dll              per machine (HKLM\Software\Classes)
//   regsvr32 /n /i:user dodadev_provider.dll   per user (HKCU\Software\Classes)
// The matching /u forms remove the registration.
#include <windows.h>
#include <olectl.h>

#include <new>

#include "provider/provider_object.h"
#include "types/owners.h"
#include "types/wide.h"

namespace {

constexpr const wchar_t* class_key = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";
constexpr wchar_t class_name[] = L"DoDadev file keystore provider";

LONG server_locks = 0;

class provider_class_factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // One static instance lives as long as the module.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return kv::provider::make_keystore_provider(kv::provider::settings(), iid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&server_locks);
    } else {
      InterlockedDecrement(&server_locks);
    }
    return S_OK;
  }
};

provider_class_factory class_factory;

// The module's own path; empty when it cannot be found or does not fit.
bool module_path(wchar_t (&path)[MAX_PATH * 4]) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&class_factory), &self))
    return false;
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
  return length > 0 && length < MAX_PATH * 4;
}

LONG set_text(HKEY key, const wchar_t* name, const wchar_t* text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((kv::wide_length(text) + 1) * sizeof(wchar_t)));
}

HRESULT register_in(HKEY root) {
  wchar_t path[MAX_PATH * 4] = {};
  if (!module_path(path)) return SELFREG_E_CLASS;
  kv::unique_hkey key;
  LONG status = RegCreateKeyExW(root, class_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status == ERROR_SUCCESS) status = set_text(key.get(), nullptr, class_name);
  kv::unique_hkey server;
  if (status == ERROR_SUCCESS)
    status = RegCreateKeyExW(key.get(), L"InprocServer32", 0, nullptr, 0, KEY_SET_VALUE, nullptr, server.put(), nullptr);
  if (status == ERROR_SUCCESS) status = set_text(server.get(), nullptr, path);
  // The object keeps no state between calls, so any apartment may call it directly.
  if (status == ERROR_SUCCESS) status = set_text(server.get(), L"ThreadingModel", L"Both");
  if (status != ERROR_SUCCESS) {
    RegDeleteTreeW(root, class_key);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT unregister_in(HKEY root) {
  const LONG status = RegDeleteTreeW(root, class_key);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_KeystoreProvider) return CLASS_E_CLASSNOTAVAILABLE;
  return class_factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() {
  return kv::provider::live_keystore_providers() == 0 && InterlockedCompareExchange(&server_locks, 0, 0) == 0
             ? S_OK
             : S_FALSE;
}

STDAPI DllRegisterServer() { return register_in(HKEY_LOCAL_MACHINE); }

STDAPI DllUnregisterServer() { return unregister_in(HKEY_LOCAL_MACHINE); }

// "user" (any letter case) registers or unregisters for the calling user only; no text or an
// empty one does it per machine, like DllRegisterServer.
STDAPI DllInstall(BOOL install, LPCWSTR command) {
  HKEY root = HKEY_LOCAL_MACHINE;
  if (command && *command) {
    if (!kv::equals_nocase(command, L"user")) return E_INVALIDARG;
    root = HKEY_CURRENT_USER;
  }
  return install ? register_in(root) : unregister_in(root);
}
