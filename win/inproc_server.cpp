#include "win/inproc_server.h"

#include <olectl.h>

#include "types/wide.h"
#include "win/owners.h"

namespace kv {

HRESULT STDMETHODCALLTYPE inproc_class_factory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE inproc_class_factory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return create_(iid, object);
}

HRESULT STDMETHODCALLTYPE inproc_class_factory::LockServer(BOOL lock) {
  if (lock) {
    InterlockedIncrement(&locks_);
  } else {
    InterlockedDecrement(&locks_);
  }
  return S_OK;
}

bool inproc_class_factory::locked() const noexcept {
  return InterlockedCompareExchange(const_cast<LONG*>(&locks_), 0, 0) != 0;
}

namespace {

constexpr DWORD path_units = MAX_PATH * 4;

// The path of the module holding `address`; false when it cannot be found or does not fit.
bool module_path(const void* address, wchar_t (&path)[path_units]) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &self))
    return false;
  const DWORD length = GetModuleFileNameW(self, path, path_units);
  return length > 0 && length < path_units;
}

LONG set_text(HKEY key, const wchar_t* name, const wchar_t* text) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((wide_length(text) + 1) * sizeof(wchar_t)));
}

}  // namespace

HRESULT register_inproc_class(HKEY root, const wchar_t* class_key, const wchar_t* name, const void* address_in_module) {
  wchar_t path[path_units] = {};
  if (!module_path(address_in_module, path)) return SELFREG_E_CLASS;
  unique_hkey key;
  LONG status = RegCreateKeyExW(root, class_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status == ERROR_SUCCESS) status = set_text(key.get(), nullptr, name);
  unique_hkey server;
  if (status == ERROR_SUCCESS)
    status = RegCreateKeyExW(key.get(), L"InprocServer32", 0, nullptr, 0, KEY_SET_VALUE, nullptr, server.put(), nullptr);
  if (status == ERROR_SUCCESS) status = set_text(server.get(), nullptr, path);
  // The classes keep no state between calls, so any apartment may call them directly.
  if (status == ERROR_SUCCESS) status = set_text(server.get(), L"ThreadingModel", L"Both");
  if (status != ERROR_SUCCESS) {
    RegDeleteTreeW(root, class_key);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

HRESULT unregister_inproc_class(HKEY root, const wchar_t* class_key) {
  const LONG status = RegDeleteTreeW(root, class_key);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

}  // namespace kv
