#include "provider/provider_object.h"

#include <new>

#include "types/kv_alloc.h"
#include "win/com_object.h"
#include "win/kv_hresult.h"

namespace kv::provider {

namespace {

LONG live_instances = 0;

HRESULT to_bstr(const KV_path& path, BSTR* out) {
  if (kv::mem_injected_failure()) return E_OUTOFMEMORY;
  *out = SysAllocStringLen(path.text() ? path.text() : L"", static_cast<UINT>(path.length()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

// The context of a certificate argument; E_INVALIDARG for no descriptor or an empty one.
HRESULT context_of(const KV_provider_certificate* certificate, PCCERT_CONTEXT& context) noexcept {
  context = certificate ? certificate->context : nullptr;
  return context ? S_OK : E_INVALIDARG;
}

class KV_keystore_provider final : public kv::com_object<IKeystoreProvider, &IID_IKeystoreProvider> {
 public:
  explicit KV_keystore_provider(const settings& config) : keystore_(config) { InterlockedIncrement(&live_instances); }
  ~KV_keystore_provider() override { InterlockedDecrement(&live_instances); }
  KV_keystore_provider(const KV_keystore_provider&) = delete;
  KV_keystore_provider& operator=(const KV_keystore_provider&) = delete;
  static void* operator new(std::size_t size) { return kv::mem_alloc_or_throw(size); }
  static void operator delete(void* block) noexcept { kv::mem_free(block); }


  HRESULT STDMETHODCALLTYPE ReservedNeverCalled() override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetDrives(INT32 populated, UINT32 types, BSTR* drives) override {
    if (!drives) return E_POINTER;
    return guarded([&] {
      KV_paths roots;
      KV_RETURN_IF_FAILED(keystore_.drives(populated != 0, types, roots));
      return to_multi_string(roots, drives);
    });
  }
  HRESULT STDMETHODCALLTYPE GetFolder(const wchar_t* drive, BSTR* folder) override {
    if (!folder) return E_POINTER;
    return guarded([&] {
      KV_path path;
      KV_RETURN_IF_FAILED(keystore_.folder(drive, path));
      return to_bstr(path, folder);
    });
  }
  HRESULT STDMETHODCALLTYPE GetPath(const wchar_t* drive, BSTR* path) override {
    if (!path) return E_POINTER;
    return guarded([&] {
      KV_path index;
      const HRESULT hr = keystore_.index_path(drive, index);
      if (hr != S_OK) return hr;
      return to_bstr(index, path);
    });
  }
  HRESULT STDMETHODCALLTYPE GetType(const wchar_t* drive, UINT32* type) override {
    if (!type) return E_POINTER;
    return guarded([&] {
      std::uint32_t value = 0;
      const HRESULT hr = keystore_.drive_type(drive, value);
      if (SUCCEEDED(hr)) *type = value;
      return hr;
    });
  }
  HRESULT STDMETHODCALLTYPE LocateKey(const GUID* id, BSTR* paths) override {
    if (!paths) return E_POINTER;
    if (!id) return E_INVALIDARG;
    return guarded([&] {
      KV_paths found;
      KV_RETURN_IF_FAILED(keystore_.locate(*id, found));
      return to_multi_string(found, paths);
    });
  }
  HRESULT STDMETHODCALLTYPE CreateCert(const wchar_t* drive, const KV_provider_certificate* certificate) override {
    return guarded([&] {
      PCCERT_CONTEXT context = nullptr;
      KV_RETURN_IF_FAILED(context_of(certificate, context));
      return keystore_.create_keystore(drive, credential::of_certificate(context));
    });
  }
  HRESULT STDMETHODCALLTYPE CreatePwd(const wchar_t* drive, const wchar_t* password) override {
    return guarded([&] { return keystore_.create_keystore(drive, credential::of_password(password)); });
  }
  HRESULT STDMETHODCALLTYPE CreateKeyCert(const wchar_t* drive, const wchar_t* name, UINT32 timeout,
                                          INT32 def_local_key) override {
    return guarded([&] {
      return keystore_.create_key(drive, protection_kind::certificate, nullptr, name, timeout, def_local_key != 0);
    });
  }
  HRESULT STDMETHODCALLTYPE CreateKey(const wchar_t* drive, const wchar_t* password, const wchar_t* name,
                                      UINT32 timeout, INT32 def_local_key) override {
    return guarded([&] {
      return keystore_.create_key(drive, protection_kind::password, password, name, timeout, def_local_key != 0);
    });
  }
  HRESULT STDMETHODCALLTYPE DeleteKey(const wchar_t* drive, const GUID* id) override {
    if (!id) return E_INVALIDARG;
    return guarded([&] { return keystore_.delete_key(drive, *id); });
  }
  HRESULT STDMETHODCALLTYPE RenameKey(const wchar_t* drive, const GUID* id, const wchar_t* new_name) override {
    if (!id) return E_INVALIDARG;
    return guarded([&] { return keystore_.rename_key(drive, *id, new_name); });
  }
  HRESULT STDMETHODCALLTYPE ExportKey(const wchar_t* drive, const GUID* id, const wchar_t* export_path,
                                      const wchar_t* export_password) override {
    if (!id) return E_INVALIDARG;
    return guarded([&] { return keystore_.export_key(drive, *id, export_path, export_password); });
  }
  HRESULT STDMETHODCALLTYPE ImportCert(const wchar_t* drive, const wchar_t* import_path,
                                       const KV_provider_certificate* certificate) override {
    return guarded([&] {
      PCCERT_CONTEXT context = nullptr;
      KV_RETURN_IF_FAILED(context_of(certificate, context));
      return keystore_.import_key(drive, import_path, credential::of_certificate(context));
    });
  }
  HRESULT STDMETHODCALLTYPE Import(const wchar_t* drive, const wchar_t* import_path, const wchar_t* password) override {
    return guarded([&] {
      return keystore_.import_key(drive, import_path,
                                  password ? credential::of_password(password) : credential::nothing());
    });
  }
  HRESULT STDMETHODCALLTYPE RecoverCert(const wchar_t* drive, const KV_provider_certificate* new_certificate) override {
    return replace_with_certificate(drive, new_certificate);
  }
  HRESULT STDMETHODCALLTYPE RecoverPwd(const wchar_t* drive, const wchar_t* new_password) override {
    return guarded([&] { return keystore_.replace_protection(drive, credential::of_password(new_password), false); });
  }
  HRESULT STDMETHODCALLTYPE ChangeTokenCert(const wchar_t* drive, const KV_provider_certificate* new_certificate) override {
    return replace_with_certificate(drive, new_certificate);
  }
  HRESULT STDMETHODCALLTYPE ChangeTokenPwd(const wchar_t* drive, const wchar_t* new_password) override {
    return guarded([&] { return keystore_.replace_protection(drive, credential::of_password(new_password), true); });
  }
  HRESULT STDMETHODCALLTYPE VerifyPwdHistory(const wchar_t* drive, const wchar_t* new_password) override {
    return guarded([&] { return keystore_.verify_password_history(drive, new_password); });
  }
  HRESULT STDMETHODCALLTYPE VerifyLastPwd(const wchar_t* drive, const wchar_t* new_password) override {
    return guarded([&] { return keystore_.verify_password(drive, new_password); });
  }

 private:
  // Exceptions stop here: allocation failure is the only one and answers E_OUTOFMEMORY.
  template <class F>
  static HRESULT guarded(F&& call) noexcept {
    try {
      return call();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

  HRESULT replace_with_certificate(const wchar_t* drive, const KV_provider_certificate* certificate) {
    return guarded([&] {
      PCCERT_CONTEXT context = nullptr;
      KV_RETURN_IF_FAILED(context_of(certificate, context));
      return keystore_.replace_protection(drive, credential::of_certificate(context), false);
    });
  }

  keystore_service keystore_;
};

}  // namespace

HRESULT to_multi_string(const KV_paths& paths, BSTR* out) {
  std::size_t units = 1;
  for (const KV_path& path : paths) units += path.length() + 1;
  if (units > 0x7FFFFFFF) return E_OUTOFMEMORY;
  if (kv::mem_injected_failure()) return E_OUTOFMEMORY;
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!text) return E_OUTOFMEMORY;
  std::size_t at = 0;
  for (const KV_path& path : paths) {
    const std::size_t length = path.length();
    if (length) CopyMemory(text + at, path.text(), length * sizeof(wchar_t));
    at += length;
    text[at++] = 0;
  }
  text[at] = 0;
  *out = text;
  return S_OK;
}

HRESULT make_keystore_provider(const settings& config, REFIID iid, void** object) {
  return make_com_object<KV_keystore_provider>(iid, object, config);
}

LONG live_keystore_providers() noexcept { return InterlockedCompareExchange(&live_instances, 0, 0); }

}  // namespace kv::provider
