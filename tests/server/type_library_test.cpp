// Loading the type library for registration: from the executable, else from the ".tlb" beside it.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "proxy/dodadev_h.h"
#include "server/type_library.h"
#include "tests/support/hresult_assert.h"
#include "win/owners.h"

namespace {

std::wstring program_path() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return self;
}

struct tlb_row {
  const char* name;
  const wchar_t* module;
  const wchar_t* expected;
};

TEST(type_library, tlb_path_replaces_the_file_extension_or_appends_one) {
  const tlb_row rows[] = {
      {"executable", L"C:\\srv\\DoDadev.exe", L"C:\\srv\\DoDadev.tlb"},
      {"dot only in the folder", L"C:\\a.b\\DoDadev", L"C:\\a.b\\DoDadev.tlb"},
      {"two dots in the name", L"C:\\srv\\DoDadev.x.exe", L"C:\\srv\\DoDadev.x.tlb"},
      {"forward slashes", L"C:/a.b/DoDadev", L"C:/a.b/DoDadev.tlb"},
      {"name is all extension", L"C:\\srv\\.exe", L"C:\\srv\\.tlb"},
      {"bare name", L"DoDadev.exe", L"DoDadev.tlb"},
      {"empty", L"", L".tlb"},
  };
  for (const tlb_row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(kv::tlb_path_of(row.module).text(), row.expected);
  }
}

TEST(type_library, type_library_comes_from_the_tlb_beside_a_module_without_one) {
  // The build copies DoDadev.tlb beside the test program as server_test.tlb.
  const std::wstring self = program_path();
  kv::com_ptr<ITypeLib> library;
  KV_string loaded_from;
  ASSERT_HR(S_OK, kv::load_module_type_library(self.c_str(), library.put(), &loaded_from));
  ASSERT_NE(library, nullptr);
  EXPECT_STREQ(loaded_from.text(), kv::tlb_path_of(self.c_str()).text());
  kv::unique_tlibattr attributes;
  ASSERT_HR(S_OK, attributes.get_lib_attr(library.get()));
  EXPECT_EQ(attributes->guid, LIBID_DoDadevLib);
}

TEST(type_library, type_library_load_failure_is_the_result_of_the_tlb_load) {
  ITypeLib* library = reinterpret_cast<ITypeLib*>(1);
  kv::com_ptr<ITypeLib> direct;
  const HRESULT expected = LoadTypeLibEx(L"C:\\nowhere\\DoDadev.tlb", REGKIND_NONE, direct.put());
  ASSERT_TRUE(FAILED(expected));
  EXPECT_EQ(kv::load_module_type_library(L"C:\\nowhere\\DoDadev.exe", &library, nullptr), expected);
  EXPECT_EQ(library, nullptr);
  EXPECT_HR(E_INVALIDARG, kv::load_module_type_library(nullptr, &library, nullptr));
}

}  // namespace
