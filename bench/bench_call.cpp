// Cost of one in-process call_function with a provider that does nothing, for a typical request
// and for one with 1,000 parameters, next to one bare out-of-process COM round trip measured in
// the same run. Prints figures; asserts nothing.
//   bench_call [--quick]
//   bench_call --as-server     the local server of the round trip (started by COM)
//
// The round trip needs DoDadev.tlb beside the program (its dual interface is marshalled from the
// type library) and writes, in the Wine prefix it runs in, the bench class's LocalServer32 under
// HKEY_LOCAL_MACHINE and the type library registration.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "proxy/dodadev_h.h"
#include "proxy/provider_factory.h"
#include "proxy/server_link.h"
#include "types/kv_alloc.h"
#include "win/call_text_bstr.h"
#include "win/com_object.h"
#include "win/owners.h"

namespace {

// {6B0C52D1-3F7A-4E59-9A0B-2C55D1E8A7F3}: the bench's own do-nothing server class.
constexpr CLSID clsid_bench_server = {0x6B0C52D1, 0x3F7A, 0x4E59, {0x9A, 0x0B, 0x2C, 0x55, 0xD1, 0xE8, 0xA7, 0xF3}};
constexpr wchar_t bench_class_key[] = L"Software\\Classes\\CLSID\\{6B0C52D1-3F7A-4E59-9A0B-2C55D1E8A7F3}";

using kv::bench::beside_program;
using kv::bench::now_us;

// ---- the provider that does nothing --------------------------------------------------------

class noop_provider final : public IKeystoreProvider {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IKeystoreProvider) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE ReservedNeverCalled() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetDrives(INT32, UINT32, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetFolder(const wchar_t*, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPath(const wchar_t*, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetType(const wchar_t*, UINT32*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LocateKey(const GUID*, BSTR*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreateCert(const wchar_t*, const KV_provider_certificate*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreatePwd(const wchar_t*, const wchar_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreateKeyCert(const wchar_t*, const wchar_t*, UINT32, INT32) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreateKey(const wchar_t*, const wchar_t*, const wchar_t*, UINT32, INT32) override {
    ++create_key_calls;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE DeleteKey(const wchar_t*, const GUID*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RenameKey(const wchar_t*, const GUID*, const wchar_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ExportKey(const wchar_t*, const GUID*, const wchar_t*, const wchar_t*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ImportCert(const wchar_t*, const wchar_t*, const KV_provider_certificate*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Import(const wchar_t*, const wchar_t*, const wchar_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RecoverCert(const wchar_t*, const KV_provider_certificate*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RecoverPwd(const wchar_t*, const wchar_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ChangeTokenCert(const wchar_t*, const KV_provider_certificate*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ChangeTokenPwd(const wchar_t*, const wchar_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE VerifyPwdHistory(const wchar_t*, const wchar_t*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE VerifyLastPwd(const wchar_t*, const wchar_t*) override { return S_OK; }

  long create_key_calls = 0;
};

noop_provider provider;

HRESULT noop_factory(IKeystoreProvider** out) {
  *out = &provider;
  return S_OK;
}

// ---- the do-nothing server of the round trip ------------------------------------------------

LONG server_objects = 0;

class noop_disp final : public kv::com_object<LU_proxy_disp_i, &IID_IDispatch, &IID_LU_proxy_disp_i> {
 public:
  noop_disp() { InterlockedIncrement(&server_objects); }
  ~noop_disp() override {
    if (InterlockedDecrement(&server_objects) == 0) PostQuitMessage(0);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE call_function(BSTR, BSTR* ret, LONG* ret_code) override {
    if (ret) *ret = nullptr;
    if (ret_code) *ret_code = 0;
    return S_OK;
  }
};

class noop_factory_object final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return kv::make_com_object<noop_disp>(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

int run_server() {
  const kv::com_apartment com;
  if (FAILED(com.result())) return 2;
  noop_factory_object factory;
  DWORD cookie = 0;
  if (FAILED(CoRegisterClassObject(clsid_bench_server, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
    return 3;
  }
  // Ends when the client's object goes, or after a minute without messages if the client died.
  for (;;) {
    const DWORD waited = MsgWaitForMultipleObjects(0, nullptr, FALSE, 60000, QS_ALLINPUT);
    if (waited == WAIT_TIMEOUT) break;
    MSG message;
    bool quit = false;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) quit = true;
      DispatchMessageW(&message);
    }
    if (quit) break;
  }
  CoRevokeClassObject(cookie);
  return 0;
}

// ---- the client --------------------------------------------------------------------------

std::wstring request_with(int fillers) {
  std::wstring text = L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<function name=\"keystore_create_key_pwd\">\r\n";
  for (int i = 0; i < fillers; ++i) {
    text += L"  <parameter name=\"extra_" + std::to_wstring(i) + L"\">value " + std::to_wstring(i) + L"</parameter>\r\n";
  }
  text += L"  <parameter name=\"drive\">E:\\</parameter>\r\n"
          L"  <parameter name=\"password\">correct horse battery staple</parameter>\r\n"
          L"  <parameter name=\"name\">Signing key for the build farm &amp; release tools</parameter>\r\n"
          L"  <parameter name=\"timeout\">3600</parameter>\r\n"
          L"  <parameter name=\"def_local_key\">true</parameter>\r\n"
          L"</function>\r\n";
  return text;
}

double median_of(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// One request coded once, and the calls made with it.
class request_calls {
 public:
  request_calls(LU_proxy_disp_i* object, const std::wstring& plain) : object_(object) {
    encode_call_text(plain.c_str(), arg_.put());
  }

  // Microseconds of one call.
  double one() const {
    kv::unique_bstr ret;
    LONG code = -1;
    const double start = now_us();
    const HRESULT hr = object_->call_function(arg_.get(), ret.put(), &code);
    const double took = now_us() - start;
    if (hr != S_OK || code != 0) std::printf("  unexpected answer 0x%08lx, code 0x%08lx\n", hr, code);
    return took;
  }
  // The median of `calls` single calls: the machine's other work and the heap's moods disturb a
  // mean more.
  double median(int calls) const {
    std::vector<double> samples(static_cast<std::size_t>(calls));
    for (double& sample : samples) sample = one();
    return median_of(samples);
  }
  double allocations_per_call(int calls) const {
    kv::alloc_probe::reset_count();
    for (int i = 0; i < calls; ++i) one();
    return static_cast<double>(kv::alloc_probe::count()) / calls;
  }

 private:
  LU_proxy_disp_i* object_;
  kv::unique_bstr arg_;
};

bool register_round_trip() {
  kv::com_ptr<ITypeLib> library;
  if (FAILED(LoadTypeLibEx(beside_program(L"DoDadev.tlb").c_str(), REGKIND_REGISTER, library.put()))) {
    std::printf("round trip: DoDadev.tlb beside the program cannot be registered\n");
    return false;
  }
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring command = L"\"" + std::wstring(self) + L"\" --as-server";
  kv::unique_hkey key;
  const std::wstring server_key = std::wstring(bench_class_key) + L"\\LocalServer32";
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, server_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                      nullptr) != ERROR_SUCCESS) {
    std::printf("round trip: cannot register the bench server class\n");
    return false;
  }
  RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                 static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
  return true;
}

double measure_round_trip_p50(int calls) {
  if (!register_round_trip()) return 0;
  kv::com_ptr<LU_proxy_disp_i> remote;
  const HRESULT hr =
      CoCreateInstance(clsid_bench_server, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, remote.put_void());
  double p50 = 0;
  if (FAILED(hr)) {
    std::printf("round trip: the bench server did not start (0x%08lx)\n", hr);
  } else {
    std::vector<double> samples;
    samples.reserve(calls);
    for (int i = 0; i < calls / 10 + 10; ++i) {
      kv::unique_bstr ret;
      LONG code = 0;
      remote->call_function(nullptr, ret.put(), &code);
    }
    for (int i = 0; i < calls; ++i) {
      kv::unique_bstr ret;
      LONG code = 0;
      const double start = now_us();
      remote->call_function(nullptr, ret.put(), &code);
      samples.push_back(now_us() - start);
    }
    remote.reset();
    p50 = median_of(samples);
  }
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, bench_class_key);
  return p50;
}

int run_bench(bool quick) {
  const kv::com_apartment com;
  if (FAILED(com.result())) return 2;
  kv::set_main_thread_id(GetCurrentThreadId());
  kv::set_provider_factory(noop_factory);
  kv::com_ptr<LU_proxy_disp_i> object;
  if (FAILED(kv::create_lu_proxy_disp(nullptr, IID_LU_proxy_disp_i, object.put_void()))) return 3;

  // Typical and large calls alternate in rounds, so that both meet the same machine; the ratio
  // is taken per round and its median reported.
  const request_calls typical(object.get(), request_with(0));
  const request_calls large(object.get(), request_with(995));
  typical.median(1000);
  large.median(10);
  const int rounds = quick ? 5 : 25;
  std::vector<double> typical_us, large_us, ratios;
  for (int round = 0; round < rounds; ++round) {
    typical_us.push_back(typical.median(quick ? 400 : 2000));
    large_us.push_back(large.median(quick ? 5 : 20));
    ratios.push_back(large_us.back() / typical_us.back());
  }
  const double typical_allocations = typical.allocations_per_call(100);
  const double large_allocations = large.allocations_per_call(5);
  object.reset();
  kv::set_provider_factory(nullptr);
  const double p50 = measure_round_trip_p50(quick ? 500 : 5000);
  const double typical_median = median_of(typical_us);

  std::printf("call_function in process, no-op provider (medians of single calls, %d alternating rounds):\n", rounds);
  std::printf("  typical request (keystore_create_key_pwd, 5 parameters): %9.2f us/call, %7.1f allocations/call\n",
              typical_median, typical_allocations);
  std::printf("  request with 1,000 parameters:                            %9.2f us/call, %7.1f allocations/call\n",
              median_of(large_us), large_allocations);
  std::printf("  1,000 parameters / typical (median of the rounds' ratios):%9.1f x   (goal <= 200 x)\n",
              median_of(ratios));
  std::printf("    lowest and highest round: %.1f x, %.1f x\n", *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
  if (p50 > 0) {
    std::printf("bare out-of-process COM round trip of a do-nothing method (p50): %9.2f us\n", p50);
    std::printf("  typical request / round trip:                             %9.2f %%  (goals: <= 25 us, <= 2 %%)\n",
                100.0 * typical_median / p50);
  }
  std::printf("provider calls made: %ld\n", provider.create_key_calls);
  return 0;
}

}  // namespace

int main() {
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  const kv::unique_local arguments(argv);
  bool as_server = false;
  bool quick = false;
  for (int i = 1; argv && i < count; ++i) {
    if (std::wstring(argv[i]) == L"--as-server") as_server = true;
    if (std::wstring(argv[i]) == L"--quick") quick = true;
  }
  return as_server ? run_server() : run_bench(quick);
}
