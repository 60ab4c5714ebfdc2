// recording_provider.dll: the recording provider as an in-process COM server under
// CLSID_KeystoreProvider, for tests that run the real server process. Each instance takes its
// script from the registry and appends its record to a file (recording_provider.h).
//
// Registration is per machine (HKEY_LOCAL_MACHINE\Software\Classes), because Wine's COM looks
// classes up only there: regsvr32 recording_provider.dll, or LoadLibrary + DllRegisterServer.
#include <windows.h>
#include <olectl.h>

#include <new>
#include <string>

#include "tests/support/recording_provider.h"
#include "types/owners.h"

namespace {

constexpr const wchar_t* class_key = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";
constexpr const wchar_t* class_name = L"Recording keystore provider (tests)";

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
    try {
      auto journal = kv::test::load_registry_journal();
      const auto scripted = journal->script.results.find(L"create");
      if (scripted != journal->script.results.end() && FAILED(scripted->second)) return scripted->second;
      IKeystoreProvider* provider = kv::test::make_recording_provider(journal);
      const HRESULT hr = provider->QueryInterface(iid, object);
      provider->Release();
      return hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
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

std::wstring module_path() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&class_factory), &self);
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

LONG set_text(HKEY key, const wchar_t* name, const std::wstring& text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_KeystoreProvider) return CLASS_E_CLASSNOTAVAILABLE;
  return class_factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() {
  return kv::test::recording_provider_instances() == 0 && InterlockedCompareExchange(&server_locks, 0, 0) == 0
             ? S_OK
             : S_FALSE;
}

STDAPI DllRegisterServer() {
  const std::wstring path = module_path();
  if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
  kv::unique_hkey key;
  LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, class_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                                nullptr);
  if (status == ERROR_SUCCESS) status = set_text(key.get(), nullptr, class_name);
  kv::unique_hkey server;
  if (status == ERROR_SUCCESS) {
    status = RegCreateKeyExW(key.get(), L"InprocServer32", 0, nullptr, 0, KEY_SET_VALUE, nullptr, server.put(),
                             nullptr);
  }
  if (status == ERROR_SUCCESS) status = set_text(server.get(), nullptr, path);
  if (status == ERROR_SUCCESS) status = set_text(server.get(), L"ThreadingModel", L"Both");
  if (status != ERROR_SUCCESS) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

STDAPI DllUnregisterServer() {
  const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
