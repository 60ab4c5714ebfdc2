#include "checker/provider_module.h"

#include "checker/report.h"

namespace kv::check {

namespace {

constexpr wchar_t registered_server[] = L"CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}\\InprocServer32";

std::wstring system_text(DWORD code) { return describe_hresult(HRESULT_FROM_WIN32(code)); }

bool registered_path(std::wstring& path, std::wstring& problem) {
  DWORD bytes = 0;
  LSTATUS status = RegGetValueW(HKEY_CLASSES_ROOT, registered_server, nullptr, RRF_RT_REG_SZ,
                                nullptr, nullptr, &bytes);
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (status == ERROR_SUCCESS) {
    status = RegGetValueW(HKEY_CLASSES_ROOT, registered_server, nullptr, RRF_RT_REG_SZ, nullptr,
                          value.data(), &bytes);
  }
  if (status != ERROR_SUCCESS) {
    problem = L"no keystore provider is registered (HKEY_CLASSES_ROOT\\" + std::wstring(registered_server) +
              L": " + system_text(static_cast<DWORD>(status)) + L"); name the provider DLL";
    return false;
  }
  value.resize(value.find(L'\0'));
  if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') value = value.substr(1, value.size() - 2);
  path = value;
  return true;
}

}  // namespace

bool provider_module::load(const std::wstring& given, std::wstring& problem) {
  std::wstring path = given;
  if (path.empty() && !registered_path(path, problem)) return false;
  // The full path, so that the DLL's own dependencies are looked for beside it.
  const DWORD units = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(units ? units : 1, L'\0');
  if (!units || GetFullPathNameW(path.c_str(), units, full.data(), nullptr) >= units) {
    problem = L"cannot use the path " + path;
    return false;
  }
  full.resize(full.find(L'\0'));
  path_ = full;
  module_.reset(LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module_) {
    problem = L"cannot load " + full + L": " + system_text(GetLastError());
    return false;
  }
  get_class_object_ = reinterpret_cast<get_class_object_fn>(
      reinterpret_cast<void (*)()>(GetProcAddress(module_.get(), "DllGetClassObject")));
  can_unload_now_ = reinterpret_cast<can_unload_now_fn>(
      reinterpret_cast<void (*)()>(GetProcAddress(module_.get(), "DllCanUnloadNow")));
  if (!get_class_object_) {
    problem = full + L" exports no DllGetClassObject: it is no COM server";
    return false;
  }
  if (!can_unload_now_) {
    problem = full + L" exports no DllCanUnloadNow, which a provider must export";
    return false;
  }
  return true;
}

HRESULT provider_module::get_class_object(REFCLSID clsid, REFIID iid, void** object) const {
  return get_class_object_(clsid, iid, object);
}

HRESULT provider_module::can_unload_now() const { return can_unload_now_(); }

}  // namespace kv::check
