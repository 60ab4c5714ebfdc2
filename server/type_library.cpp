#include "server/type_library.h"

#include <new>

#include "win/kv_hresult.h"
#include "win/owners.h"

namespace kv {

namespace {

// The exports of the loaded OLEAUT32.DLL that older systems lack.
FARPROC oleaut32_export(const char* name) noexcept {
  HMODULE oleaut32 = GetModuleHandleW(L"OLEAUT32.DLL");
  return oleaut32 ? GetProcAddress(oleaut32, name) : nullptr;
}

template <typename Function>
Function as_function(FARPROC address) noexcept {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

std::size_t last_separator(const wchar_t* path) noexcept {
  std::size_t found = static_cast<std::size_t>(-1);
  for (std::size_t i = 0; path[i]; ++i) {
    if (path[i] == L'\\' || path[i] == L'/') found = i;
  }
  return found;
}

}  // namespace

KV_string tlb_path_of(const wchar_t* module_path) {
  KV_string path(module_path ? module_path : L"");
  const std::size_t separator = last_separator(path.text());
  const std::size_t name_start = separator == static_cast<std::size_t>(-1) ? 0 : separator + 1;
  std::size_t dot = static_cast<std::size_t>(-1);
  for (std::size_t i = name_start; path.text()[i]; ++i) {
    if (path.text()[i] == L'.') dot = i;
  }
  if (dot != static_cast<std::size_t>(-1)) {
    KV_string stem;
    if (dot > 0) path.left(stem, 0, dot);
    path = stem;
  }
  path.append(L".tlb");
  return path;
}

HRESULT load_module_type_library(const wchar_t* module_path, ITypeLib** library, KV_string* loaded_from) noexcept {
  if (!module_path || !library) return E_INVALIDARG;
  *library = nullptr;
  try {
    com_ptr<ITypeLib> loaded;
    HRESULT hr = LoadTypeLibEx(module_path, REGKIND_NONE, loaded.put());
    if (SUCCEEDED(hr)) {
      if (loaded_from) *loaded_from = module_path;
      *library = loaded.release();
      return hr;
    }
    const KV_string tlb = tlb_path_of(module_path);
    hr = LoadTypeLibEx(tlb.text(), REGKIND_NONE, loaded.put());
    if (SUCCEEDED(hr) && loaded_from) *loaded_from = tlb;
    *library = loaded.release();
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT register_module_type_library(const wchar_t* module_path, bool per_user) noexcept {
  try {
    com_ptr<ITypeLib> library;
    KV_string loaded_from;
    KV_RETURN_IF_FAILED(load_module_type_library(module_path, library.put(), &loaded_from));

    KV_string help_directory;
    unique_bstr help_file;
    if (SUCCEEDED(library.get()->GetDocumentation(-1, nullptr, nullptr, nullptr, help_file.put())) &&
        help_file.get()) {
      const std::size_t separator = last_separator(help_file.get());
      if (separator != static_cast<std::size_t>(-1)) {
        KV_string help(help_file.get());
        help.left(help_directory, 0, separator);
      }
    }
    wchar_t* path = const_cast<wchar_t*>(loaded_from.text());
    wchar_t* help = help_directory.length() ? const_cast<wchar_t*>(help_directory.text()) : nullptr;

    using register_for_user = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
    if (per_user) {
      if (auto for_user = as_function<register_for_user>(oleaut32_export("RegisterTypeLibForUser"))) {
        return for_user(library.get(), path, help);
      }
    }
    return RegisterTypeLib(library.get(), path, help);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT unregister_module_type_library(const wchar_t* module_path, bool per_user) noexcept {
  com_ptr<ITypeLib> library;
  KV_RETURN_IF_FAILED(load_module_type_library(module_path, library.put(), nullptr));
  unique_tlibattr attributes;
  KV_RETURN_IF_FAILED(attributes.get_lib_attr(library.get()));

  using unregister_for_user = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  if (per_user) {
    if (auto for_user = as_function<unregister_for_user>(oleaut32_export("UnRegisterTypeLibForUser"))) {
      return for_user(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                      attributes->syskind);
    }
  }
  return UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                           attributes->syskind);
}

}  // namespace kv
