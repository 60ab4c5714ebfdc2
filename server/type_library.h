#pragma once
// Registration of the server's type library, which the executable carries as its TYPELIB
// resource.
#include <windows.h>
#include <oleauto.h>

#include "types/kv_string.h"

namespace kv {

// The path with the file name's extension replaced by ".tlb", or ".tlb" appended when the name
// has none. Throws std::bad_alloc.
KV_string tlb_path_of(const wchar_t* module_path);

// Loads the type library from `module_path` (its TYPELIB resource) or, failing that, from
// tlb_path_of(module_path); the second load's failure is the result. *loaded_from receives the
// path that worked. Nothing is registered by loading.
HRESULT load_module_type_library(const wchar_t* module_path, ITypeLib** library, KV_string* loaded_from) noexcept;

// RegisterTypeLib, or with per_user RegisterTypeLibForUser when the loaded OLEAUT32.DLL exports
// it (else RegisterTypeLib). The help directory is that of the library's help file, if it names
// one.
HRESULT register_module_type_library(const wchar_t* module_path, bool per_user) noexcept;

// UnRegisterTypeLib, or UnRegisterTypeLibForUser looked up the same way, with the identifier,
// version, locale and platform of the loaded library.
HRESULT unregister_module_type_library(const wchar_t* module_path, bool per_user) noexcept;

}  // namespace kv
