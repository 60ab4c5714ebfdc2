#pragma once
// The one place where the server creates a keystore provider, so that tests can put a fake
// provider in its place without registering a COM class.
#include <windows.h>

#include "dodadev/keystore_provider.h"

namespace kv {

// Creates a provider and stores one reference in *provider (the caller releases it).
using provider_factory = HRESULT (*)(IKeystoreProvider** provider);

// Creates one keystore provider with the installed factory, by default
// CoCreateInstance(CLSID_KeystoreProvider, no outer object, CLSCTX_INPROC_SERVER,
// IID_IKeystoreProvider). *provider is null on every failure. A null `provider` gives E_POINTER.
HRESULT create_keystore_provider(IKeystoreProvider** provider) noexcept;

// The production factory, CoCreateInstance as above.
HRESULT co_create_keystore_provider(IKeystoreProvider** provider) noexcept;

// Test seam: makes create_keystore_provider use `factory`; null restores the production factory.
// Process-wide and not thread-safe: install and restore only while no call is running.
void set_provider_factory(provider_factory factory) noexcept;

}  // namespace kv
