// The seam that creates the keystore provider: a test replacement, and CoCreateInstance otherwise.
#include "proxy/provider_factory.h"

#include <gtest/gtest.h>

#include <memory>

#include "proxy_test_support.h"
#include "tests/support/hresult_assert.h"
#include "tests/support/recording_provider.h"

namespace {

int replacement_calls = 0;
HRESULT replacement_result = S_OK;
std::shared_ptr<kv::test::provider_journal> replacement_journal;

HRESULT replacement_factory(IKeystoreProvider** provider) {
  ++replacement_calls;
  if (FAILED(replacement_result)) {
    // What a careless factory might leave behind on failure.
    *provider = reinterpret_cast<IKeystoreProvider*>(static_cast<std::uintptr_t>(0xBAD));
    return replacement_result;
  }
  *provider = kv::test::make_recording_provider(replacement_journal);
  return replacement_result;
}

class provider_factory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    // No provider class is registered, whatever an earlier run left behind.
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, proxy_test::provider_class_key);
    replacement_calls = 0;
    replacement_result = S_OK;
    replacement_journal = std::make_shared<kv::test::provider_journal>();
  }
  void TearDown() override {
    kv::set_provider_factory(nullptr);
    replacement_journal.reset();
  }

  const proxy_test::com_apartment com_;
};

TEST_F(provider_factory, installed_replacement_creates_the_provider) {
  kv::set_provider_factory(replacement_factory);
  proxy_test::com_ptr<IKeystoreProvider> provider;
  ASSERT_HR(S_OK, kv::create_keystore_provider(provider.put()));
  ASSERT_TRUE(provider);
  EXPECT_EQ(replacement_calls, 1);
  BSTR folder = nullptr;
  provider->GetFolder(L"D:", &folder);
  ASSERT_EQ(replacement_journal->calls.size(), 1u);
  EXPECT_EQ(replacement_journal->calls[0].operation, L"GetFolder");
}

TEST_F(provider_factory, success_codes_of_the_replacement_pass_through) {
  replacement_result = S_FALSE;
  kv::set_provider_factory(replacement_factory);
  proxy_test::com_ptr<IKeystoreProvider> provider;
  EXPECT_HR(S_FALSE, kv::create_keystore_provider(provider.put()));
  EXPECT_TRUE(provider);
}

TEST_F(provider_factory, failure_passes_through_and_leaves_no_pointer) {
  replacement_result = E_ACCESSDENIED;
  kv::set_provider_factory(replacement_factory);
  IKeystoreProvider* provider = reinterpret_cast<IKeystoreProvider*>(static_cast<std::uintptr_t>(1));
  EXPECT_HR(E_ACCESSDENIED, kv::create_keystore_provider(&provider));
  EXPECT_EQ(provider, nullptr);
}

TEST_F(provider_factory, null_target_is_refused_before_any_factory_runs) {
  kv::set_provider_factory(replacement_factory);
  EXPECT_HR(E_POINTER, kv::create_keystore_provider(nullptr));
  EXPECT_EQ(replacement_calls, 0);
}

TEST_F(provider_factory, restoring_gives_cocreateinstance_which_finds_no_class) {
  kv::set_provider_factory(replacement_factory);
  kv::set_provider_factory(nullptr);
  IKeystoreProvider* provider = reinterpret_cast<IKeystoreProvider*>(static_cast<std::uintptr_t>(1));
  EXPECT_HR(REGDB_E_CLASSNOTREG, kv::create_keystore_provider(&provider));
  EXPECT_EQ(provider, nullptr);
  EXPECT_EQ(replacement_calls, 0);
  EXPECT_EQ(kv::test::recording_provider_instances(), 0);
}

TEST_F(provider_factory, scoped_recording_factory_serves_its_journal_and_then_restores) {
  auto journal = std::make_shared<kv::test::provider_journal>();
  {
    kv::test::scoped_recording_factory factory(journal);
    proxy_test::com_ptr<IKeystoreProvider> provider;
    ASSERT_HR(S_OK, kv::create_keystore_provider(provider.put()));
    provider->CreatePwd(L"D:", L"secret");
    provider.reset();

    journal->script.results[L"create"] = E_OUTOFMEMORY;
    EXPECT_HR(E_OUTOFMEMORY, kv::create_keystore_provider(provider.put()));
    EXPECT_FALSE(provider);
    EXPECT_EQ(factory.requests(), 2);
  }
  EXPECT_EQ(journal->lines(), std::vector<std::wstring>{LR"(CreatePwd("D:", "secret"))"});
  EXPECT_EQ(journal->created, 1);
  EXPECT_EQ(journal->destroyed, 1);

  IKeystoreProvider* provider = nullptr;
  EXPECT_HR(REGDB_E_CLASSNOTREG, kv::create_keystore_provider(&provider));
}

}  // namespace
