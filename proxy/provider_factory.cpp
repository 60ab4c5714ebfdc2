#include "proxy/provider_factory.h"

namespace kv {

namespace {
provider_factory installed_factory = nullptr;
}  // namespace

HRESULT co_create_keystore_provider(IKeystoreProvider** provider) noexcept {
  if (!provider) return E_POINTER;
  *provider = nullptr;
  return CoCreateInstance(CLSID_KeystoreProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IKeystoreProvider,
                          reinterpret_cast<void**>(provider));
}

HRESULT create_keystore_provider(IKeystoreProvider** provider) noexcept {
  if (!provider) return E_POINTER;
  *provider = nullptr;
  const provider_factory factory = installed_factory ? installed_factory : co_create_keystore_provider;
  const HRESULT hr = factory(provider);
  // What a failing factory left there is not a reference the caller may release.
  if (FAILED(hr)) *provider = nullptr;
  return hr;
}

void set_provider_factory(provider_factory factory) noexcept { installed_factory = factory; }

}  // namespace kv
