#include "win/owners.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>
#include "tests/support/hresult_assert.h"

namespace {

std::vector<int>& closed() {
  static std::vector<int> values;
  return values;
}
// Closes like an OS call that fails: it leaves its own last-error value behind.
void close_int(int value) noexcept {
  closed().push_back(value);
  SetLastError(ERROR_INVALID_HANDLE);
}
int minus_one() noexcept { return -1; }
using unique_int = kv::unique_any<int, close_int, minus_one>;

TEST(owners, close_once_and_keep_last_error) {
  closed().clear();
  {
    unique_int a(3);
    unique_int b(std::move(a));
    EXPECT_FALSE(a.is_valid());
    SetLastError(1234);
  }
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(closed(), std::vector<int>{3});
}

TEST(owners, put_closes_the_old_value_first) {
  closed().clear();
  unique_int owner(5);
  int* slot = owner.put();
  EXPECT_EQ(closed(), std::vector<int>{5});
  EXPECT_EQ(*slot, -1);
  *slot = 6;
  EXPECT_EQ(owner.get(), 6);
  EXPECT_EQ(owner.release(), 6);
  EXPECT_EQ(closed(), std::vector<int>{5});
  owner.reset(7);
  owner = unique_int(8);
  EXPECT_EQ(closed(), (std::vector<int>{5, 7}));
}

TEST(owners, handle_owner_closes_the_handle) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  DWORD flags = 0;
  {
    kv::unique_handle event(raw);
    EXPECT_TRUE(GetHandleInformation(event.get(), &flags));
  }
  EXPECT_FALSE(GetHandleInformation(raw, &flags));
  kv::unique_file none;
  EXPECT_EQ(none.get(), INVALID_HANDLE_VALUE);
}

// An interface that counts its references; it lives on the stack, so nothing is freed.
class counted : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG references = 1;
};

TEST(owners, com_ptr_releases_once_and_release_gives_the_reference_up) {
  counted a, b;
  {
    kv::com_ptr<IUnknown> owner(&a);
    kv::com_ptr<IUnknown> moved(std::move(owner));
    EXPECT_EQ(owner.get(), nullptr);
    *moved.put() = &b;  // put() lets the old reference go first
    EXPECT_EQ(a.references, 0u);
    EXPECT_EQ(moved.release(), &b);
  }
  EXPECT_EQ(b.references, 1u);
}

TEST(owners, unique_variant_clears_what_it_holds_and_keeps_the_last_error) {
  counted held;
  {
    kv::unique_variant owner;
    V_VT(owner.put()) = VT_UNKNOWN;
    V_UNKNOWN(owner.get()) = &held;
    SetLastError(ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(held.references, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Whether another thread can take the mutex now (it gives it back at once).
bool free_for_another_thread(HANDLE mutex) {
  bool taken = false;
  std::thread([&] {
    taken = WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0;
    const kv::unique_mutex_ownership give_back(taken ? mutex : nullptr);
  }).join();
  return taken;
}

TEST(owners, mutex_ownership_is_released_once_and_the_handle_stays_open) {
  const kv::unique_handle mutex(CreateMutexW(nullptr, TRUE, nullptr));
  ASSERT_TRUE(mutex);
  ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));  // owned twice now
  {
    kv::unique_mutex_ownership first(mutex.get());
    const kv::unique_mutex_ownership moved(std::move(first));
  }
  EXPECT_FALSE(free_for_another_thread(mutex.get())) << "one ownership was released twice";
  { const kv::unique_mutex_ownership second(mutex.get()); }
  EXPECT_TRUE(free_for_another_thread(mutex.get()));
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(mutex.get(), &flags));
}

// A type library that lends one TLIBATTR and counts its references and the attributes given back.
class lending_library : public ITypeLib {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return 0; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT, TYPEKIND*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attributes) override {
    *attributes = SUCCEEDED(answer) ? &lent : nullptr;
    return answer;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT, BSTR*, BSTR*, DWORD*, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attributes) override {
    EXPECT_EQ(attributes, &lent);
    ++given_back;
  }

  ULONG references = 1;
  HRESULT answer = S_OK;
  TLIBATTR lent = {};
  int given_back = 0;
};

TEST(owners, tlibattr_goes_back_to_its_library_once_and_keeps_the_library_meanwhile) {
  lending_library library;
  library.lent.lcid = 0x409;
  {
    kv::unique_tlibattr attributes;
    ASSERT_HR(S_OK, attributes.get_lib_attr(&library));
    EXPECT_EQ(attributes->lcid, 0x409u);
    EXPECT_EQ(library.references, 2u);
    const kv::unique_tlibattr moved(std::move(attributes));
    EXPECT_FALSE(attributes);
    EXPECT_EQ(moved.get(), &library.lent);
    EXPECT_EQ(library.given_back, 0);
  }
  EXPECT_EQ(library.given_back, 1);
  EXPECT_EQ(library.references, 1u);

  library.answer = TYPE_E_CANTLOADLIBRARY;
  kv::unique_tlibattr refused;
  EXPECT_HR(TYPE_E_CANTLOADLIBRARY, refused.get_lib_attr(&library));
  EXPECT_FALSE(refused);
  EXPECT_HR(E_INVALIDARG, refused.get_lib_attr(nullptr));
  EXPECT_EQ(library.references, 1u);
  EXPECT_EQ(library.given_back, 1);
}

TEST(owners, com_apartment_uninitialises_only_what_it_initialised) {
  ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  {
    const kv::com_apartment refused;  // the thread is in the multithreaded apartment already
    EXPECT_HR(RPC_E_CHANGED_MODE, refused.result());
  }
  EXPECT_HR(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED)) << "the refused owner uninitialised COM";
  CoUninitialize();
  CoUninitialize();
  {
    const kv::com_apartment apartment;
    EXPECT_HR(S_OK, apartment.result());
  }
  EXPECT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)) << "the apartment outlived its owner";
  CoUninitialize();
}

}  // namespace
