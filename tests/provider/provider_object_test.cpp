// The COM object: output forms, argument checks and allocation failure in process, and
// dodadev_provider.dll registered and created through COM as the server does it.
#include <objbase.h>
#include <olectl.h>

#include <cstring>

#include "provider/provider_object.h"
#include "provider_test_support.h"
#include "tests/support/hresult_assert.h"
#include "tests/support/unique_module.h"
#include "types/kv_alloc.h"
#include "win/owners.h"

namespace provider_test {
namespace {

constexpr wchar_t class_key[] = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";
constexpr wchar_t server_key[] = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}\\InprocServer32";

using provider_ref = kv::com_ptr<IKeystoreProvider>;

std::wstring bstr_units(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L"<null>"; }

class provider_object_test : public keystore_test {
 protected:
  void SetUp() override {
    ASSERT_HR(S_OK, kv::provider::make_keystore_provider(settings.config, IID_IKeystoreProvider, provider.put_void()));
  }
  void TearDown() override { kv::alloc_probe::disarm(); }
  provider_ref provider;
};

TEST_F(provider_object_test, path_lists_come_as_double_nul_ended_texts) {
  kv::unique_bstr drives;
  ASSERT_HR(S_OK, provider->GetDrives(0, 0, drives.put()));  // no volume roots in these settings
  EXPECT_EQ(bstr_units(drives.get()), std::wstring(1, L'\0'));

  ASSERT_HR(S_OK, provider->CreatePwd(drive.c_str(), L"pw"));
  ASSERT_HR(S_OK, provider->CreateKey(drive.c_str(), L"pw", L"k", 5, 0));
  const GUID id = key_ids(drive).at(0);
  kv::unique_bstr found;
  ASSERT_HR(S_OK, provider->LocateKey(&id, found.put()));
  EXPECT_EQ(bstr_units(found.get()), drive.key_file(L"k.lukey") + std::wstring(2, L'\0'));
  EXPECT_EQ(KV_paths(found.get()).size(), 1u);
}

TEST_F(provider_object_test, single_paths_and_the_drive_type_come_as_the_interface_says) {
  kv::unique_bstr path;
  EXPECT_HR(S_FALSE, provider->GetPath(drive.c_str(), path.put()));
  EXPECT_FALSE(path);
  ASSERT_HR(S_OK, provider->CreatePwd(drive.c_str(), L"pw"));
  ASSERT_HR(S_OK, provider->GetPath(drive.c_str(), path.put()));
  EXPECT_EQ(bstr_units(path.get()), drive.keystore() + L"\\keystore.luidx");
  kv::unique_bstr folder;
  ASSERT_HR(S_OK, provider->GetFolder(drive.c_str(), folder.put()));
  EXPECT_EQ(bstr_units(folder.get()), drive.keystore());
  UINT32 type = 0;
  ASSERT_HR(S_OK, provider->GetType(drive.c_str(), &type));
  EXPECT_EQ(type, static_cast<UINT32>(DRIVE_FIXED));
}

TEST_F(provider_object_test, arguments_the_object_cannot_use_are_refused) {
  const KV_provider_certificate empty{};
  kv::unique_bstr text;
  struct row {
    const char* name;
    HRESULT result;
    HRESULT expected;
  };
  const row rows[] = {
      {"CreateCert without context", provider->CreateCert(drive.c_str(), &empty), E_INVALIDARG},
      {"CreateCert without descriptor", provider->CreateCert(drive.c_str(), nullptr), E_INVALIDARG},
      {"ImportCert without context", provider->ImportCert(drive.c_str(), L"C:\\x.luexp", &empty), E_INVALIDARG},
      {"RecoverCert without context", provider->RecoverCert(drive.c_str(), &empty), E_INVALIDARG},
      {"ChangeTokenCert without context", provider->ChangeTokenCert(drive.c_str(), &empty), E_INVALIDARG},
      {"CreatePwd without password", provider->CreatePwd(drive.c_str(), nullptr), E_INVALIDARG},
      {"RecoverPwd with empty password", provider->RecoverPwd(drive.c_str(), L""), E_INVALIDARG},
      {"LocateKey without id", provider->LocateKey(nullptr, text.put()), E_INVALIDARG},
      {"DeleteKey without id", provider->DeleteKey(drive.c_str(), nullptr), E_INVALIDARG},
      {"GetDrives without output", provider->GetDrives(0, 0, nullptr), E_POINTER},
      {"GetType without output", provider->GetType(drive.c_str(), nullptr), E_POINTER},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(r.result, r.expected);
  }
  EXPECT_TRUE(files_in(drive.path()).empty());
}

TEST_F(provider_object_test, a_certificate_descriptor_reaches_the_keystore) {
  const kv::unique_cert_context context = first_certificate();
  const KV_provider_certificate certificate{nullptr, context.get(), {}};
  ASSERT_HR(S_OK, provider->CreateCert(drive.c_str(), &certificate));
  EXPECT_HR(S_OK, provider->CreateKeyCert(drive.c_str(), L"bound", 0, 1));
  EXPECT_HR(NTE_BAD_KEY_STATE, provider->CreateKey(drive.c_str(), nullptr, L"unbound", 0, 0));
  EXPECT_HR(NTE_BAD_KEY_STATE, provider->VerifyLastPwd(drive.c_str(), L"pw"));
}

TEST_F(provider_object_test, every_allocation_failure_answers_out_of_memory_and_stores_no_key) {
  ASSERT_HR(S_OK, provider->CreatePwd(drive.c_str(), L"pw"));
  HRESULT hr = E_OUTOFMEMORY;
  std::int64_t successes = 0;
  for (; hr == E_OUTOFMEMORY && successes < 500; ++successes) {
    kv::alloc_probe::fail_after(successes);
    hr = provider->CreateKey(drive.c_str(), nullptr, L"k", 0, 0);
    kv::alloc_probe::disarm();
    if (hr == E_OUTOFMEMORY) {
      ASSERT_EQ(drive.files(), (std::vector<std::wstring>{L"keystore.lock", L"keystore.luidx"}));
    }
  }
  EXPECT_HR(S_OK, hr) << "after " << successes << " allocations";
  EXPECT_GT(successes, 3);
  kv::unique_bstr folder;
  kv::alloc_probe::fail_after(0);
  EXPECT_HR(E_OUTOFMEMORY, provider->GetFolder(drive.c_str(), folder.put()));
  EXPECT_FALSE(folder);
}

// dodadev_provider.dll from beside the test program, registered as regsvr32 would do it.
class provider_dll_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    dll_path_ = self;
    dll_path_.resize(dll_path_.find_last_of(L"\\/") + 1);
    dll_path_ += L"dodadev_provider.dll";
    dll_.reset(LoadLibraryW(dll_path_.c_str()));
    ASSERT_NE(dll_.get(), nullptr);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key);
    RegDeleteTreeW(HKEY_CURRENT_USER, class_key);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key);
    RegDeleteTreeW(HKEY_CURRENT_USER, class_key);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\DoDadev\\Provider\\Folders", drive_.c_str());
    dll_.reset();
  }
  template <class F>
  F entry(const char* name) const {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll_.get(), name)));
  }
  static std::wstring text_value(HKEY root, const wchar_t* key, const wchar_t* value) {
    wchar_t data[MAX_PATH * 2] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegGetValueW(root, key, value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) return L"<missing>";
    return data;
  }
  static bool same_path(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
  }

  const kv::com_apartment com_;  // uninitialised after TearDown has freed the DLL
  std::wstring dll_path_;
  kv::test::unique_module dll_;
  temp_folder drive_folder_;
  std::wstring drive_ = drive_folder_.path();
};

using entry_point = HRESULT(STDAPICALLTYPE*)();
using install_entry = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);

TEST_F(provider_dll_test, registered_per_machine_it_is_created_through_com_and_works) {
  ASSERT_HR(S_OK, entry<entry_point>("DllRegisterServer")());
  EXPECT_PRED2(same_path, text_value(HKEY_LOCAL_MACHINE, server_key, nullptr), dll_path_);
  EXPECT_EQ(text_value(HKEY_LOCAL_MACHINE, server_key, L"ThreadingModel"), L"Both");

  provider_ref provider;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_KeystoreProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IKeystoreProvider,
                             provider.put_void()));
  ASSERT_HR(S_OK, provider->CreatePwd(drive_.c_str(), L"pw"));
  ASSERT_HR(S_OK, provider->CreateKey(drive_.c_str(), nullptr, L"through com", 0, 0));
  const temp_folder& where = drive_folder_;
  const GUID id = key_ids(where).at(0);
  kv::unique_bstr found;
  ASSERT_HR(S_OK, provider->LocateKey(&id, found.put()));  // real volume roots plus remembered folder drives
  EXPECT_EQ(texts(KV_paths(found.get())), std::vector<std::wstring>{where.key_file(L"through com.lukey")});
  EXPECT_HR(S_FALSE, entry<entry_point>("DllCanUnloadNow")());
  provider.reset();
  EXPECT_HR(S_OK, entry<entry_point>("DllCanUnloadNow")());

  ASSERT_HR(S_OK, entry<entry_point>("DllUnregisterServer")());
  EXPECT_HR(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_KeystoreProvider, nullptr, CLSCTX_INPROC_SERVER, IID_IKeystoreProvider,
                             provider.put_void()));
  EXPECT_HR(S_OK, entry<entry_point>("DllUnregisterServer")());  // nothing left to remove is no failure
}

TEST_F(provider_dll_test, registered_per_user_it_writes_the_user_classes_only) {
  const auto install = entry<install_entry>("DllInstall");
  ASSERT_NE(install, nullptr);
  EXPECT_HR(E_INVALIDARG, install(TRUE, L"bogus"));
  ASSERT_HR(S_OK, install(TRUE, L"User"));
  EXPECT_PRED2(same_path, text_value(HKEY_CURRENT_USER, server_key, nullptr), dll_path_);
  EXPECT_EQ(text_value(HKEY_CURRENT_USER, server_key, L"ThreadingModel"), L"Both");
  EXPECT_EQ(text_value(HKEY_LOCAL_MACHINE, server_key, nullptr), L"<missing>");
  ASSERT_HR(S_OK, install(FALSE, L"user"));
  EXPECT_EQ(text_value(HKEY_CURRENT_USER, server_key, nullptr), L"<missing>");
}

}  // namespace
}  // namespace provider_test
