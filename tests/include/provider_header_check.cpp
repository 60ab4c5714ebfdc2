// The provider header as a C++ provider uses it: a class deriving from the interface, with its
// uuid known to __uuidof where the compiler has it.
#include <dodadev/keystore_provider.h>

namespace {

class checked_provider : public IKeystoreProvider {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = IsEqualIID(riid, IID_IKeystoreProvider) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE ReservedNeverCalled() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDrives(INT32, UINT32, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetFolder(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetPath(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetType(LPCWSTR, UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LocateKey(const GUID*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateCert(LPCWSTR, const KV_provider_certificate*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreatePwd(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateKeyCert(LPCWSTR, LPCWSTR, UINT32, INT32) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR, LPCWSTR, LPCWSTR, UINT32, INT32) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR, const GUID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RenameKey(LPCWSTR, const GUID*, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ExportKey(LPCWSTR, const GUID*, LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ImportCert(LPCWSTR, LPCWSTR, const KV_provider_certificate*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Import(LPCWSTR, LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RecoverCert(LPCWSTR, const KV_provider_certificate*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE RecoverPwd(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ChangeTokenCert(LPCWSTR, const KV_provider_certificate*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ChangeTokenPwd(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VerifyPwdHistory(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE VerifyLastPwd(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
};

}  // namespace

bool provider_header_check_cxx() {
  checked_provider provider;
  void* found = nullptr;
#ifdef __CRT_UUID_DECL
  if (__uuidof(IKeystoreProvider) != IID_IKeystoreProvider) return false;
#endif
  return SUCCEEDED(provider.QueryInterface(IID_IKeystoreProvider, &found)) && found == &provider;
}
