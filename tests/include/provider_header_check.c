/* The provider header as a C provider uses it: the vtable filled with functions of its types. */
#define COBJMACROS
#include <dodadev/keystore_provider.h>

static HRESULT STDMETHODCALLTYPE get_type(IKeystoreProvider *This, LPCWSTR drive, UINT32 *type) {
  *type = 0;
  return S_OK;
}

static IKeystoreProviderVtbl table = {0};

int provider_header_check_c(void) {
  table.GetType = get_type;
  return IsEqualGUID(&CLSID_KeystoreProvider, &IID_IKeystoreProvider) ? 1 : 0;
}
