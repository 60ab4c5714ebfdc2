// The recording provider in the test process, and through it the slot order of IKeystoreProvider:
// each slot is called through the raw table, so a method declared out of place shows up as the
// wrong operation in the record.
#include "tests/support/recording_provider.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "proxy_test_support.h"
#include "tests/support/hresult_assert.h"
#include "win/cert_owners.h"
#include "win/owners.h"

namespace {

using namespace std::string_literals;

constexpr GUID sample_id = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

// A self-signed certificate with the common name `name`, for the certificate arguments.
kv::unique_cert_context self_signed(const wchar_t* name) {
  const std::wstring x500 = L"CN="s + name;
  BYTE encoded[256];
  DWORD size = sizeof encoded;
  if (!CertStrToNameW(X509_ASN_ENCODING, x500.c_str(), CERT_X500_NAME_STR, nullptr, encoded, &size, nullptr)) {
    return {};
  }
  CERT_NAME_BLOB subject = {size, encoded};
  return kv::unique_cert_context(
      CertCreateSelfSignCertificate(0, &subject, 0, nullptr, nullptr, nullptr, nullptr, nullptr));
}

class recording_provider : public ::testing::Test {
 protected:
  void SetUp() override {
    instances_before_ = kv::test::recording_provider_instances();
    provider_ = kv::com_ptr<IKeystoreProvider>(kv::test::make_recording_provider(journal_));
  }
  void TearDown() override {
    provider_.reset();
    EXPECT_EQ(kv::test::recording_provider_instances(), instances_before_);
  }

  std::wstring last_line() const { return journal_->calls.empty() ? L"<none>" : journal_->calls.back().line(); }

  std::shared_ptr<kv::test::provider_journal> journal_ = std::make_shared<kv::test::provider_journal>();
  kv::com_ptr<IKeystoreProvider> provider_;
  long instances_before_ = 0;
};

// Calls slot `slot` of the provider's table as a function of the given type.
template <typename... Args>
HRESULT call_slot(IKeystoreProvider* provider, int slot, Args... args) {
  using function = HRESULT(STDMETHODCALLTYPE*)(IKeystoreProvider*, Args...);
  void** table = *reinterpret_cast<void***>(provider);
  return reinterpret_cast<function>(table[slot])(provider, args...);
}

TEST_F(recording_provider, every_slot_records_its_operation_with_all_arguments) {
  KV_provider_certificate no_context{};
  BSTR out = nullptr;
  UINT32 number = 0;
  const wchar_t* d = L"D:\\";
  struct row {
    int slot;
    std::function<HRESULT(IKeystoreProvider*)> call;
    const wchar_t* expected;
  };
  const row rows[] = {
      {3, [&](IKeystoreProvider* p) { return call_slot(p, 3); }, L"ReservedNeverCalled()"},
      {4, [&](IKeystoreProvider* p) { return call_slot(p, 4, INT32{1}, UINT32{4294967295u}, &out); },
       L"GetDrives(1, 4294967295, out)"},
      {5, [&](IKeystoreProvider* p) { return call_slot(p, 5, d, &out); }, LR"(GetFolder("D:\", out))"},
      {6, [&](IKeystoreProvider* p) { return call_slot(p, 6, d, &out); }, LR"(GetPath("D:\", out))"},
      {7, [&](IKeystoreProvider* p) { return call_slot(p, 7, d, &number); }, LR"(GetType("D:\", out(0)))"},
      {8, [&](IKeystoreProvider* p) { return call_slot(p, 8, &sample_id, &out); },
       L"LocateKey({01234567-89AB-CDEF-0123-456789ABCDEF}, out)"},
      {9, [&](IKeystoreProvider* p) { return call_slot(p, 9, d, &no_context); }, LR"(CreateCert("D:\", cert()))"},
      {10, [&](IKeystoreProvider* p) { return call_slot(p, 10, d, L"pw"); }, LR"(CreatePwd("D:\", "pw"))"},
      {11, [&](IKeystoreProvider* p) { return call_slot(p, 11, d, L"k", UINT32{30}, INT32{0}); },
       LR"(CreateKeyCert("D:\", "k", 30, 0))"},
      {12, [&](IKeystoreProvider* p) { return call_slot(p, 12, d, L"pw", L"k", UINT32{30}, INT32{1}); },
       LR"(CreateKey("D:\", "pw", "k", 30, 1))"},
      {13, [&](IKeystoreProvider* p) { return call_slot(p, 13, d, &sample_id); },
       LR"(DeleteKey("D:\", {01234567-89AB-CDEF-0123-456789ABCDEF}))"},
      {14, [&](IKeystoreProvider* p) { return call_slot(p, 14, d, &sample_id, L"new"); },
       LR"(RenameKey("D:\", {01234567-89AB-CDEF-0123-456789ABCDEF}, "new"))"},
      {15, [&](IKeystoreProvider* p) { return call_slot(p, 15, d, &sample_id, L"E:\\x.key", L"epw"); },
       LR"(ExportKey("D:\", {01234567-89AB-CDEF-0123-456789ABCDEF}, "E:\x.key", "epw"))"},
      {16, [&](IKeystoreProvider* p) { return call_slot(p, 16, d, L"E:\\x.key", &no_context); },
       LR"(ImportCert("D:\", "E:\x.key", cert()))"},
      {17, [&](IKeystoreProvider* p) { return call_slot(p, 17, d, L"E:\\x.key", L"ipw"); },
       LR"(Import("D:\", "E:\x.key", "ipw"))"},
      {18, [&](IKeystoreProvider* p) { return call_slot(p, 18, d, &no_context); }, LR"(RecoverCert("D:\", cert()))"},
      {19, [&](IKeystoreProvider* p) { return call_slot(p, 19, d, L"npw"); }, LR"(RecoverPwd("D:\", "npw"))"},
      {20, [&](IKeystoreProvider* p) { return call_slot(p, 20, d, &no_context); },
       LR"(ChangeTokenCert("D:\", cert()))"},
      {21, [&](IKeystoreProvider* p) { return call_slot(p, 21, d, L"npw"); }, LR"(ChangeTokenPwd("D:\", "npw"))"},
      {22, [&](IKeystoreProvider* p) { return call_slot(p, 22, d, L"npw"); }, LR"(VerifyPwdHistory("D:\", "npw"))"},
      {23, [&](IKeystoreProvider* p) { return call_slot(p, 23, d, L"npw"); }, LR"(VerifyLastPwd("D:\", "npw"))"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::Message() << "slot " << r.slot);
    const std::size_t before = journal_->calls.size();
    EXPECT_HR(S_OK, r.call(provider_.get()));
    ASSERT_EQ(journal_->calls.size(), before + 1);
    EXPECT_EQ(last_line(), r.expected);
  }
}

TEST_F(recording_provider, null_and_empty_texts_are_told_apart) {
  provider_->CreateKey(L"", nullptr, L"name", 0, 0);
  ASSERT_EQ(journal_->calls.size(), 1u);
  const std::vector<std::wstring>& args = journal_->calls[0].args;
  EXPECT_EQ(args[0], L"\"\"");
  EXPECT_EQ(args[1], L"NULL");
  provider_->Import(L"D:", L"E:", nullptr);
  EXPECT_EQ(last_line(), LR"(Import("D:", "E:", NULL))");
  provider_->LocateKey(nullptr, nullptr);
  EXPECT_EQ(last_line(), L"LocateKey(NULL, NULL)");
}

TEST_F(recording_provider, control_characters_are_recorded_visibly) {
  provider_->RenameKey(L"D:", &sample_id, L"a\tb\r\nc");
  EXPECT_EQ(journal_->calls.back().args[2], LR"("a\x09b\x0D\x0Ac")");
}

TEST_F(recording_provider, certificates_are_recorded_as_absent_empty_or_named) {
  kv::unique_cert_context context = self_signed(L"kv recording test");
  ASSERT_TRUE(context) << "CertCreateSelfSignCertificate failed: " << GetLastError();
  const KV_provider_certificate with_context{nullptr, context.get(), {}};
  const KV_provider_certificate without_context{};
  provider_->CreateCert(L"D:", &with_context);
  provider_->RecoverCert(L"D:", &without_context);
  provider_->ChangeTokenCert(L"D:", nullptr);
  EXPECT_EQ(journal_->lines(), (std::vector<std::wstring>{LR"(CreateCert("D:", cert(kv recording test)))",
                                                         LR"(RecoverCert("D:", cert()))",
                                                         LR"(ChangeTokenCert("D:", NULL))"}));
}

TEST_F(recording_provider, answers_scripted_results_and_s_ok_otherwise) {
  journal_->script.results[L"DeleteKey"] = E_ACCESSDENIED;
  journal_->script.results[L"GetPath"] = S_FALSE;
  EXPECT_HR(E_ACCESSDENIED, provider_->DeleteKey(L"D:", &sample_id));
  BSTR path = nullptr;
  EXPECT_HR(S_FALSE, provider_->GetPath(L"D:", &path));
  EXPECT_HR(S_OK, provider_->RenameKey(L"D:", &sample_id, L"n"));
  EXPECT_EQ(path, nullptr);  // no text scripted
}

TEST_F(recording_provider, out_texts_are_scripted_exactly_embedded_nuls_included) {
  journal_->script.texts[L"GetDrives"] = L"C:\\\0D:\\\0\0"s;
  journal_->script.texts[L"GetFolder"] = L"";
  kv::unique_bstr drives;
  ASSERT_HR(S_OK, provider_->GetDrives(1, 0, drives.put()));
  ASSERT_TRUE(drives);
  ASSERT_EQ(SysStringLen(drives.get()), 9u);
  EXPECT_EQ(std::memcmp(drives.get(), L"C:\\\0D:\\\0\0", 10 * sizeof(wchar_t)), 0);  // and the BSTR's own NUL

  kv::unique_bstr folder;
  ASSERT_HR(S_OK, provider_->GetFolder(L"D:", folder.put()));
  ASSERT_TRUE(folder);
  EXPECT_EQ(SysStringLen(folder.get()), 0u);
}

TEST_F(recording_provider, out_text_is_written_even_when_the_result_is_a_failure) {
  journal_->script.texts[L"LocateKey"] = L"K:\\key";
  journal_->script.results[L"LocateKey"] = E_FAIL;
  kv::unique_bstr paths;
  EXPECT_HR(E_FAIL, provider_->LocateKey(&sample_id, paths.put()));
  ASSERT_TRUE(paths);
  EXPECT_EQ(std::wstring(paths.get()), L"K:\\key");
}

TEST_F(recording_provider, records_what_the_out_parameters_arrived_holding) {
  kv::unique_bstr preset(SysAllocString(L"left over"));
  BSTR out = preset.get();
  provider_->GetFolder(L"D:", &out);
  EXPECT_EQ(journal_->calls.back().args[1], L"out(set)");
  provider_->GetPath(L"D:", nullptr);
  EXPECT_EQ(journal_->calls.back().args[1], L"NULL");

  UINT32 number = 5;
  provider_->GetType(L"D:", &number);
  EXPECT_EQ(journal_->calls.back().args[1], L"out(5)");
}

TEST_F(recording_provider, null_out_pointers_are_refused_after_recording) {
  journal_->script.results[L"GetDrives"] = S_OK;
  EXPECT_HR(E_POINTER, provider_->GetDrives(0, 0, nullptr));
  EXPECT_HR(E_POINTER, provider_->GetType(L"D:", nullptr));
  EXPECT_EQ(journal_->calls.size(), 2u);
}

TEST_F(recording_provider, get_type_writes_the_scripted_number) {
  journal_->script.type = 4294967295u;
  UINT32 type = 0;
  EXPECT_HR(S_OK, provider_->GetType(L"D:", &type));
  EXPECT_EQ(type, 4294967295u);
}

TEST_F(recording_provider, answers_only_iunknown_and_ikeystoreprovider) {
  proxy_test::com_ptr<IUnknown> unknown;
  ASSERT_HR(S_OK, provider_->QueryInterface(IID_IUnknown, unknown.put_void()));
  EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(provider_.get()));
  proxy_test::com_ptr<IKeystoreProvider> same;
  ASSERT_HR(S_OK, unknown->QueryInterface(__uuidof(IKeystoreProvider), same.put_void()));
  EXPECT_EQ(same.get(), provider_.get());

  void* other = reinterpret_cast<void*>(1);
  EXPECT_HR(E_NOINTERFACE, provider_->QueryInterface(IID_IDispatch, &other));
  EXPECT_EQ(other, nullptr);
  EXPECT_HR(E_POINTER, provider_->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(recording_provider, instances_are_counted_until_the_last_release) {
  const long alive = kv::test::recording_provider_instances();
  IKeystoreProvider* second = kv::test::make_recording_provider(journal_);
  EXPECT_EQ(kv::test::recording_provider_instances(), alive + 1);
  EXPECT_EQ(second->AddRef(), 2u);
  EXPECT_EQ(second->Release(), 1u);
  EXPECT_EQ(kv::test::recording_provider_instances(), alive + 1);
  EXPECT_EQ(second->Release(), 0u);
  EXPECT_EQ(kv::test::recording_provider_instances(), alive);
  EXPECT_EQ(journal_->created, 2);
  EXPECT_EQ(journal_->destroyed, 1);
}

}  // namespace
