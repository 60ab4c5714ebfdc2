// CDoDadevModule and its class factory inside the test process: server references, the call
// path's hooks, aggregation rules and the replacement table of the registration scripts.
#include <gtest/gtest.h>
#include <objbase.h>

#include <string>

#include "proxy/dodadev_h.h"
#include "proxy/server_link.h"
#include "server/dodadev_module.h"
#include "tests/support/hresult_assert.h"
#include "tests/support/unique_module.h"
#include "win/owners.h"

namespace {

// {5E1A4B0C-7D2F-4E83-9C61-2B8F0A7D3E15}: a class that only these tests use.
constexpr CLSID test_clsid = {0x5E1A4B0C, 0x7D2F, 0x4E83, {0x9C, 0x61, 0x2B, 0x8F, 0x0A, 0x7D, 0x3E, 0x15}};

// The process's count of server references, read without changing it.
ULONG server_references() {
  const ULONG count = CoAddRefServerProcess();
  CoReleaseServerProcess();
  return count - 1;
}

// The smallest controlling unknown for an aggregate.
class outer_object final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid != IID_IUnknown) return E_NOINTERFACE;
    *object = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

template <typename T>
using released = kv::com_ptr<T>;

class module : public ::testing::Test {
 protected:
  kv::class_object_entry table_[1] = {{&test_clsid, kv::class_script, kv::create_lu_proxy_disp, nullptr, 0}};
};

TEST_F(module, module_construction_takes_a_server_reference_that_it_never_gives_back) {
  const ULONG before = server_references();
  {
    CDoDadevModule built(table_, 1);
    EXPECT_EQ(server_references(), before + 1);
    EXPECT_EQ(built.lock_count(), static_cast<LONG>(before + 1));
  }
  EXPECT_EQ(server_references(), before + 1);
}

TEST_F(module, module_objects_hold_a_server_lock_through_the_hooks) {
  CDoDadevModule built(table_, 1);
  const LONG base = built.lock_count();
  released<LU_proxy_disp_i> object;
  ASSERT_HR(S_OK, kv::create_lu_proxy_disp(nullptr, IID_LU_proxy_disp_i, object.put_void()));
  EXPECT_EQ(built.lock_count(), base + 1);
  object.reset();
  EXPECT_EQ(built.lock_count(), base);
}

TEST_F(module, class_factory_is_cached_and_creates_objects_alone_or_aggregated) {
  CDoDadevModule built(table_, 1);
  released<IClassFactory> factory, again;
  ASSERT_HR(S_OK, built.class_object(table_[0], IID_IClassFactory, factory.put_void()));
  ASSERT_HR(S_OK, built.class_object(table_[0], IID_IClassFactory, again.put_void()));
  EXPECT_EQ(factory.get(), again.get());

  released<LU_proxy_disp_i> alone;
  EXPECT_HR(S_OK, factory->CreateInstance(nullptr, IID_LU_proxy_disp_i, alone.put_void()));
  EXPECT_NE(alone.get(), nullptr);

  outer_object outer;
  released<IUnknown> inner;
  EXPECT_HR(S_OK, factory->CreateInstance(&outer, IID_IUnknown, inner.put_void()));
  EXPECT_NE(inner.get(), nullptr);

  void* refused = &outer;
  EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_LU_proxy_disp_i, &refused));
  EXPECT_EQ(refused, nullptr);
  EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
}

TEST_F(module, class_factory_lockserver_takes_and_gives_back_a_server_reference) {
  CDoDadevModule built(table_, 1);
  released<IClassFactory> factory;
  ASSERT_HR(S_OK, built.class_object(table_[0], IID_IClassFactory, factory.put_void()));
  const LONG base = built.lock_count();
  EXPECT_HR(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(built.lock_count(), base + 1);
  EXPECT_EQ(server_references(), static_cast<ULONG>(base + 1));
  EXPECT_HR(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(built.lock_count(), base);
}

TEST_F(module, module_without_classes_registers_nothing_and_says_so) {
  const kv::com_apartment com;
  ASSERT_TRUE(SUCCEEDED(com.result()));
  CDoDadevModule empty(nullptr, 0);
  EXPECT_HR(S_FALSE, empty.PreMessageLoop(SW_SHOWNORMAL));
  EXPECT_HR(S_OK, empty.PostMessageLoop());
}

// A copy of the test program in a folder of the given name, loaded as a module.
class copied_module {
 public:
  explicit copied_module(const std::wstring& folder_name) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    folder_ = std::wstring(temp) + folder_name;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    CreateDirectoryW(folder_.c_str(), nullptr);
    path_ = folder_ + L"\\server_test.exe";
    if (!CopyFileW(self, path_.c_str(), FALSE)) return;
    module_.reset(LoadLibraryExW(path_.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES));
  }
  ~copied_module() {
    module_.reset();  // unloaded before its file is deleted
    DeleteFileW(path_.c_str());
    RemoveDirectoryW(folder_.c_str());
  }
  HMODULE handle() const { return module_.get(); }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring folder_;
  std::wstring path_;
  kv::test::unique_module module_;
};

TEST_F(module, module_replacements_quote_the_path_and_double_its_single_quotes) {
  copied_module copy(L"kv O'Neil " + std::to_wstring(GetCurrentProcessId()));
  ASSERT_NE(copy.handle(), nullptr);
  CDoDadevModule built(table_, 1, copy.handle());
  kv::module_replacements replacements;
  ASSERT_HR(S_OK, built.make_replacements(replacements));
  ASSERT_EQ(replacements.count, 3u);
  std::wstring doubled;
  for (wchar_t c : copy.path()) doubled += c == L'\'' ? std::wstring(L"''") : std::wstring(1, c);
  EXPECT_STREQ(replacements.items[0].name, L"Module");
  EXPECT_EQ(std::wstring(replacements.items[0].value), L"\"" + copy.path() + L"\"");
  EXPECT_STREQ(replacements.items[1].name, L"Module_Raw");
  EXPECT_EQ(std::wstring(replacements.items[1].value), doubled);
  EXPECT_STREQ(replacements.items[2].name, L"APPID");
  EXPECT_STREQ(replacements.items[2].value, L"{C6971B38-4C39-4685-86CE-F210381E3137}");
}

TEST_F(module, module_script_missing_from_the_resources_fails_with_the_loader_error) {
  CDoDadevModule built(table_, 1);  // the test program carries no REGISTRY resources
  const HRESULT missing = FindResourceW(nullptr, MAKEINTRESOURCEW(kv::app_id_script), L"REGISTRY")
                              ? S_OK
                              : HRESULT_FROM_WIN32(GetLastError());
  ASSERT_TRUE(FAILED(missing));
  EXPECT_EQ(built.run_script(kv::app_id_script, kv::registrar_mode::register_keys), missing);
}

TEST_F(module, module_path_of_260_characters_fails_with_insufficient_buffer) {
  // The folder name makes the full path of the copy exactly MAX_PATH characters long.
  wchar_t temp[MAX_PATH + 1];
  const std::size_t temp_length = GetTempPathW(MAX_PATH + 1, temp);
  ASSERT_LT(temp_length + 20, static_cast<std::size_t>(MAX_PATH));
  const std::size_t name_length = MAX_PATH - temp_length - std::wstring(L"\\server_test.exe").size();
  copied_module copy(std::wstring(name_length, L'x'));
  ASSERT_EQ(copy.path().size(), static_cast<std::size_t>(MAX_PATH));
  ASSERT_NE(copy.handle(), nullptr);
  CDoDadevModule built(table_, 1, copy.handle());
  kv::module_replacements replacements;
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), built.make_replacements(replacements));
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), built.register_server(false));
}

}  // namespace
