#pragma once
// The provider DLL, loaded into the checker's process without registering it: by the path the
// user gives, or, without one, the DLL registered for CLSID_KeystoreProvider. The checker reaches
// it only through its exports, as COM does.
#include <windows.h>
#include <unknwn.h>

#include <string>

#include "win/owners.h"

namespace kv::check {

class provider_module {
 public:
  // Loads `path` (empty: the registered provider). On failure `problem` says why, for the user.
  bool load(const std::wstring& path, std::wstring& problem);

  HRESULT get_class_object(REFCLSID clsid, REFIID iid, void** object) const;
  HRESULT can_unload_now() const;
  const std::wstring& path() const noexcept { return path_; }

 private:
  using get_class_object_fn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
  using can_unload_now_fn = HRESULT(STDAPICALLTYPE*)();
  static void free_module(HMODULE module) noexcept { FreeLibrary(module); }

  kv::unique_any<HMODULE, free_module> module_;
  get_class_object_fn get_class_object_ = nullptr;
  can_unload_now_fn can_unload_now_ = nullptr;
  std::wstring path_;
};

}  // namespace kv::check
