// recording_provider.dll as later end-to-end tests use it: registered like regsvr32 does, created
// by COM under CLSID_KeystoreProvider, scripted and recorded through the registry and a file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proxy/provider_factory.h"
#include "proxy_test_support.h"
#include "tests/support/hresult_assert.h"
#include "tests/support/recording_provider.h"
#include "tests/support/unique_module.h"
#include "win/owners.h"

namespace {

using namespace std::string_literals;

std::wstring registry_text(HKEY root, const wchar_t* key, const wchar_t* value) {
  wchar_t data[MAX_PATH * 2] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  if (RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) return L"<missing>";
  return data;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

class recording_provider_dll : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, proxy_test::provider_class_key);
    kv::test::clear_script();
    dll_path_ = proxy_test::beside_program(L"recording_provider.dll");
    dll_.reset(LoadLibraryW(dll_path_.c_str()));
    ASSERT_NE(dll_.get(), nullptr) << "cannot load " << testing::PrintToString(dll_path_);
    register_server_ = export_of("DllRegisterServer");
    unregister_server_ = export_of("DllUnregisterServer");
    can_unload_now_ = export_of("DllCanUnloadNow");
    ASSERT_TRUE(register_server_ && unregister_server_ && can_unload_now_);

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    record_file_ = temp + L"kv-recording-provider-"s + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(record_file_.c_str());
  }
  void TearDown() override {
    if (unregister_server_) unregister_server_();
    kv::test::clear_script();
    DeleteFileW(record_file_.c_str());
    dll_.reset();
  }

  using entry = HRESULT(STDAPICALLTYPE*)();
  entry export_of(const char* name) const {
    return reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), name)));
  }
  const proxy_test::com_apartment com_;
  std::wstring dll_path_;
  kv::test::unique_module dll_;
  entry register_server_ = nullptr;
  entry unregister_server_ = nullptr;
  entry can_unload_now_ = nullptr;
  std::wstring record_file_;
};

TEST_F(recording_provider_dll, registers_per_machine_and_unregistering_removes_the_class) {
  ASSERT_HR(S_OK, register_server_());
  const std::wstring server_key = proxy_test::provider_class_key + L"\\InprocServer32"s;
  EXPECT_PRED2(same_path, registry_text(HKEY_LOCAL_MACHINE, server_key.c_str(), nullptr), dll_path_);
  EXPECT_EQ(registry_text(HKEY_LOCAL_MACHINE, server_key.c_str(), L"ThreadingModel"), L"Both");

  EXPECT_HR(S_OK, unregister_server_());
  kv::unique_hkey key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, proxy_test::provider_class_key, 0, KEY_READ, key.put()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_HR(S_OK, unregister_server_());  // nothing left to remove is no failure
}

TEST_F(recording_provider_dll, cocreateinstance_gives_a_provider_scripted_and_recorded_through_the_registry) {
  ASSERT_HR(S_OK, register_server_());
  kv::test::provider_script script;
  script.texts[L"GetDrives"] = L"A:\\\0B:\\\0\0"s;
  script.results[L"GetPath"] = S_FALSE;
  script.results[L"VerifyLastPwd"] = E_ACCESSDENIED;
  script.type = 7;
  ASSERT_EQ(kv::test::store_script(script, record_file_), ERROR_SUCCESS);

  proxy_test::com_ptr<IKeystoreProvider> provider;
  ASSERT_HR(S_OK, kv::create_keystore_provider(provider.put()));  // the production factory
  kv::unique_bstr drives, path;
  EXPECT_HR(S_OK, provider->GetDrives(1, 3, drives.put()));
  ASSERT_TRUE(drives);
  ASSERT_EQ(SysStringLen(drives.get()), 9u);
  EXPECT_EQ(std::memcmp(drives.get(), L"A:\\\0B:\\\0\0", 9 * sizeof(wchar_t)), 0);
  EXPECT_HR(S_FALSE, provider->GetPath(L"D:", path.put()));
  EXPECT_FALSE(path);
  UINT32 type = 0;
  EXPECT_HR(S_OK, provider->GetType(L"D:", &type));
  EXPECT_EQ(type, 7u);
  EXPECT_HR(E_ACCESSDENIED, provider->VerifyLastPwd(L"D:", L"new"));
  EXPECT_HR(S_FALSE, can_unload_now_());
  provider.reset();
  EXPECT_HR(S_OK, can_unload_now_());

  EXPECT_EQ(kv::test::read_record_file(record_file_),
            (std::vector<std::wstring>{L"created", L"GetDrives(1, 3, out)", LR"(GetPath("D:", out))",
                                       LR"(GetType("D:", out(0)))", LR"(VerifyLastPwd("D:", "new"))",
                                       L"destroyed"}));

  ASSERT_HR(S_OK, unregister_server_());
  EXPECT_HR(REGDB_E_CLASSNOTREG, kv::create_keystore_provider(provider.put()));
}

TEST_F(recording_provider_dll, scripted_creation_failure_reaches_the_caller) {
  ASSERT_HR(S_OK, register_server_());
  kv::test::provider_script script;
  script.results[L"create"] = E_ACCESSDENIED;
  ASSERT_EQ(kv::test::store_script(script, record_file_), ERROR_SUCCESS);
  proxy_test::com_ptr<IKeystoreProvider> provider;
  EXPECT_HR(E_ACCESSDENIED, CoCreateInstance(CLSID_KeystoreProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IKeystoreProvider,
                             provider.put_void()));
  EXPECT_FALSE(provider);
  EXPECT_TRUE(kv::test::read_record_file(record_file_).empty());
}

}  // namespace
