// LU_proxy_disp as a COM object: interfaces, aggregation, reference count, server lock and the
// IDispatch side served from the registered type library.
#include <atomic>
#include <thread>

#include "call_test_support.h"
#include "tests/support/hresult_assert.h"

namespace {

using namespace call_test;
using proxy_test::com_ptr;

std::atomic<int> server_locks{0};
std::atomic<int> module_lock_entries{0};
std::atomic<int> module_lock_depth{0};

LONG counting_lock() { return ++server_locks; }
LONG counting_unlock() { return --server_locks; }
void enter_module() {
  ++module_lock_entries;
  ++module_lock_depth;
}
void leave_module() { --module_lock_depth; }

class object : public call_path {
 protected:
  void SetUp() override {
    server_locks = 0;
    kv::set_server_hooks({counting_lock, counting_unlock, enter_module, leave_module});
    call_path::SetUp();
  }
  void TearDown() override {
    call_path::TearDown();
    EXPECT_EQ(server_locks, 0);
    kv::set_server_hooks({});
  }
};

TEST_F(object, query_interface_answers_its_interfaces_in_one_place) {
  constexpr IID unknown_iid = {0x5A5A5A5A, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  struct row {
    const char* name;
    IID iid;
    HRESULT hr;
  };
  const row rows[] = {
      {"LU_proxy_disp_i", IID_LU_proxy_disp_i, S_OK},
      {"IDispatch", IID_IDispatch, S_OK},
      {"IUnknown", IID_IUnknown, S_OK},
      {"IClassFactory", IID_IClassFactory, E_NOINTERFACE},
      {"IMarshal", IID_IMarshal, E_NOINTERFACE},
      {"IKeystoreProvider", IID_IKeystoreProvider, E_NOINTERFACE},
      {"unknown", unknown_iid, E_NOINTERFACE},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    void* answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(object_->QueryInterface(r.iid, &answer), r.hr);
    if (r.hr == S_OK) {
      // One interface pointer serves them all, and it is the object's identity.
      EXPECT_EQ(answer, static_cast<void*>(object_.get()));
      const com_ptr<IUnknown> answered(static_cast<IUnknown*>(answer));
    } else {
      EXPECT_EQ(answer, nullptr);
    }
  }
  EXPECT_HR(E_POINTER, object_->QueryInterface(IID_IDispatch, nullptr));
}

TEST_F(object, each_living_object_holds_one_server_lock) {
  EXPECT_EQ(server_locks, 1);
  com_ptr<IUnknown> second;
  ASSERT_HR(S_OK, kv::create_lu_proxy_disp(nullptr, IID_IUnknown, second.put_void()));
  EXPECT_EQ(server_locks, 2);
  second.reset();
  EXPECT_EQ(server_locks, 1);
  // A refused creation leaves no lock behind.
  void* none = reinterpret_cast<void*>(1);
  EXPECT_HR(E_NOINTERFACE, kv::create_lu_proxy_disp(nullptr, IID_IClassFactory, &none));
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(server_locks, 1);
  EXPECT_HR(E_POINTER, kv::create_lu_proxy_disp(nullptr, IID_IUnknown, nullptr));
}

TEST_F(object, references_counted_from_many_threads_end_the_object_once) {
  LU_proxy_disp_i* shared = nullptr;
  ASSERT_HR(S_OK, kv::create_lu_proxy_disp(nullptr, IID_LU_proxy_disp_i, reinterpret_cast<void**>(&shared)));
  EXPECT_EQ(server_locks, 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared] {
      for (int i = 0; i < 20000; ++i) {
        shared->AddRef();
        shared->Release();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(shared->AddRef(), 2u);
  EXPECT_EQ(shared->Release(), 1u);
  EXPECT_EQ(server_locks, 2);
  EXPECT_EQ(shared->Release(), 0u);
  EXPECT_EQ(server_locks, 1);
}

// An outer object that aggregates LU_proxy_disp and answers one interface of its own.
constexpr IID outer_only_iid = {0x0BADF00D, 0x0001, 0x0002, {3, 4, 5, 6, 7, 8, 9, 10}};
class outer_object final : public IUnknown {
 public:
  LONG refs = 1;
  IUnknown* inner = nullptr;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (riid == IID_IUnknown || riid == outer_only_iid) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, out) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
};

TEST_F(object, aggregated_object_delegates_its_interfaces_to_the_outer_object) {
  outer_object outer;
  void* refused = reinterpret_cast<void*>(1);
  EXPECT_HR(CLASS_E_NOAGGREGATION, kv::create_lu_proxy_disp(&outer, IID_LU_proxy_disp_i, &refused));
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(server_locks, 1);

  ASSERT_HR(S_OK, kv::create_lu_proxy_disp(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
  EXPECT_EQ(server_locks, 2);
  EXPECT_EQ(outer.refs, 1);

  // Through the outer object the aggregate answers the inner interfaces.
  com_ptr<LU_proxy_disp_i> disp;
  ASSERT_HR(S_OK, outer.QueryInterface(IID_LU_proxy_disp_i, disp.put_void()));
  EXPECT_EQ(outer.refs, 2);  // counted on the outer object, as COM identity requires
  com_ptr<IUnknown> identity;
  ASSERT_HR(S_OK, disp->QueryInterface(IID_IUnknown, identity.put_void()));
  EXPECT_EQ(identity.get(), &outer);
  identity.reset();
  com_ptr<IUnknown> outer_only;
  EXPECT_HR(S_OK, disp->QueryInterface(outer_only_iid, outer_only.put_void()));
  EXPECT_EQ(outer_only.get(), &outer);
  outer_only.reset();
  // The inner unknown's own identity is not the interface pointer.
  com_ptr<IUnknown> inner_identity;
  ASSERT_HR(S_OK, outer.inner->QueryInterface(IID_IUnknown, inner_identity.put_void()));
  EXPECT_EQ(inner_identity.get(), outer.inner);
  inner_identity.reset();

  // The aggregate still does its work.
  const outcome out = call_test::call(disp.get(), request_text(L"get_version"));
  EXPECT_HR(S_OK, out.hr);
  disp.reset();
  EXPECT_EQ(outer.refs, 1);

  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(server_locks, 1);
}

class dispatch : public object {
 protected:
  void SetUp() override {
    object::SetUp();
    com_ptr<ITypeLib> library;
    ASSERT_HR(S_OK, LoadTypeLibEx(proxy_test::beside_program(L"DoDadev.tlb").c_str(), REGKIND_NONE, library.put()));
    std::wstring path = proxy_test::beside_program(L"DoDadev.tlb");
    ASSERT_HR(S_OK, RegisterTypeLib(library.get(), path.data(), nullptr));
    ASSERT_HR(S_OK, object_->QueryInterface(IID_IDispatch, disp_.put_void()));
  }
  void TearDown() override {
    disp_.reset();
    object::TearDown();
  }

  // How a caller passes ret and ret_code: as the type information declares them (BSTR*, LONG*),
  // or as script engines pass variables, by reference to a VARIANT (the request too then).
  enum class form { declared, script_variables, script_ret_only };

  // call_function through IDispatch::Invoke; the arguments go last to first. In the script
  // forms ret starts as the text "previous" and ret_code as a text, so their clearing shows;
  // `ret_variant` (cleared first) becomes the VARIANT that ret referenced, as the call left it.
  outcome invoke(const std::optional<std::wstring>& plain, HRESULT& invoke_hr, form how = form::declared,
                 kv::unique_variant* ret_variant = nullptr) {
    kv::unique_bstr arg = plain ? coded(*plain) : kv::unique_bstr();
    outcome out;
    out.ret = nullptr;
    // args and arg_variable only refer to what others own: never cleared.
    VARIANT args[3], arg_variable;
    for (VARIANT* v : {&args[0], &args[1], &args[2], &arg_variable}) VariantInit(v);
    kv::unique_variant own_ret_variable, code_variable;
    VARIANT* const ret_variable = ret_variant ? ret_variant->put() : own_ret_variable.get();
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = arg.get();
    V_VT(&args[1]) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&args[1]) = &out.ret;
    V_VT(&args[0]) = VT_BYREF | VT_I4;
    V_I4REF(&args[0]) = &out.code;
    if (how != form::declared) {
      V_VT(ret_variable) = VT_BSTR;
      V_BSTR(ret_variable) = SysAllocString(L"previous");
      V_VT(&args[1]) = VT_BYREF | VT_VARIANT;
      V_VARIANTREF(&args[1]) = ret_variable;
    }
    if (how == form::script_variables) {
      V_VT(&arg_variable) = VT_BSTR;
      V_BSTR(&arg_variable) = arg.get();
      V_VT(&args[2]) = VT_BYREF | VT_VARIANT;
      V_VARIANTREF(&args[2]) = &arg_variable;
      V_VT(code_variable.get()) = VT_BSTR;
      V_BSTR(code_variable.get()) = SysAllocString(L"0");
      V_VT(&args[0]) = VT_BYREF | VT_VARIANT;
      V_VARIANTREF(&args[0]) = code_variable.get();
    }
    DISPPARAMS params{args, nullptr, 3, 0};
    kv::unique_variant result;
    kv::unique_excepinfo exception;
    UINT argument_error = 0;
    invoke_hr = disp_->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result.put(),
                              exception.put(), &argument_error);
    if (plain) {
      EXPECT_EQ(plain_of(arg.get()), *plain);  // the caller's request, untouched
    }
    if (how == form::script_variables) {
      EXPECT_EQ(V_VT(code_variable.get()), VT_I4);
      out.code = V_I4(code_variable.get());
    }
    if (how != form::declared && V_VT(ret_variable) == VT_BSTR && text_of(V_BSTR(ret_variable)) != L"previous") {
      out.ret = V_BSTR(ret_variable);
      V_VT(ret_variable) = VT_EMPTY;
    }
    if (out.ret) {
      out.owned.reset(out.ret);
      out.result = plain_of(out.ret);
    }
    return out;
  }

  com_ptr<IDispatch> disp_;
};

TEST_F(dispatch, type_information_is_the_registered_interface) {
  UINT count = 0;
  EXPECT_HR(S_OK, disp_->GetTypeInfoCount(&count));
  EXPECT_EQ(count, 1u);
  com_ptr<ITypeInfo> info;
  ASSERT_HR(S_OK, disp_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
  TYPEATTR* attr = nullptr;
  ASSERT_HR(S_OK, info->GetTypeAttr(&attr));
  EXPECT_EQ(attr->guid, IID_LU_proxy_disp_i);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  info->ReleaseTypeAttr(attr);
  EXPECT_HR(DISP_E_BADINDEX, disp_->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.put()));
  EXPECT_EQ(info.get(), nullptr);

  // Loaded once for the process: later operations do not take the module lock again.
  const int entries = module_lock_entries;
  ASSERT_HR(S_OK, disp_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
  EXPECT_EQ(module_lock_entries, entries);
  EXPECT_EQ(module_lock_depth, 0);
}

TEST_F(dispatch, names_map_to_dispatch_identifiers) {
  wchar_t call_name[] = L"call_function";
  wchar_t other_name[] = L"CALL_FUNCTION";
  wchar_t unknown_name[] = L"perform";
  LPOLESTR names[] = {call_name};
  DISPID id = 0;
  EXPECT_HR(S_OK, disp_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(id, 1);
  names[0] = other_name;  // dispatch names ignore letter case
  EXPECT_HR(S_OK, disp_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(id, 1);
  names[0] = unknown_name;
  EXPECT_HR(DISP_E_UNKNOWNNAME, disp_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_HR(DISP_E_UNKNOWNINTERFACE, disp_->GetIDsOfNames(IID_IDispatch, names, 1, LOCALE_USER_DEFAULT, &id));
}

TEST_F(dispatch, invoke_gives_the_answers_of_the_vtable_call) {
  journal_->script.texts[L"GetFolder"] = L"C:\\folder";
  const std::wstring requests[] = {
      request_text(L"keystore_folder", {{L"drive", L"C:"}}),
      request_text(L"get_version"),
      request_text(L"keystore_unknown"),
      L"<function",
  };
  for (const form how : {form::declared, form::script_variables, form::script_ret_only}) {
    for (const std::wstring& request : requests) {
      SCOPED_TRACE(testing::PrintToString(request) + " form " + std::to_string(static_cast<int>(how)));
      const outcome direct = call(request);
      HRESULT invoke_hr = E_FAIL;
      kv::unique_variant ret_variable;
      const outcome invoked = invoke(request, invoke_hr, how, &ret_variable);
      EXPECT_HR(S_OK, invoke_hr);
      EXPECT_EQ(invoked.code, direct.code);
      EXPECT_EQ(invoked.result, direct.result);
      EXPECT_EQ(invoked.ret == nullptr, direct.ret == nullptr || direct.ret == untouched_ret());
      if (how != form::declared) {
        // A refused call leaves the script's variable as it was; an accepted one without a
        // result empties it.
        // (A result was moved out of the variable into `invoked`.)
        const bool refused = direct.ret == untouched_ret();
        EXPECT_EQ(V_VT(ret_variable.get()), refused ? VARTYPE{VT_BSTR} : VARTYPE{VT_EMPTY});
        if (refused) {
          EXPECT_EQ(text_of(V_BSTR(ret_variable.get())), L"previous");
        }
      }
    }
  }
  EXPECT_EQ(provider_lines(), std::vector<std::wstring>(6, L"GetFolder(\"C:\", out)"));

  HRESULT invoke_hr = S_OK;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  invoke_hr = disp_->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
  EXPECT_HR(DISP_E_MEMBERNOTFOUND, invoke_hr);
  invoke_hr = disp_->Invoke(1, IID_IDispatch, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
  EXPECT_HR(DISP_E_UNKNOWNINTERFACE, invoke_hr);
}

TEST_F(dispatch, invoke_still_refuses_other_argument_forms) {
  const kv::unique_bstr arg = coded(request_text(L"keystore_folder", {{L"drive", L"C:"}}));
  LONG number = 7;
  BSTR text = nullptr;
  VARIANT variable;
  VariantInit(&variable);
  V_VT(&variable) = VT_I2;
  V_I2(&variable) = 5;
  struct row {
    const char* name;
    VARTYPE ret_vt;
    void* ret;
    VARTYPE code_vt;
    void* code;
  };
  const row rows[] = {
      {"ret as a LONG reference", VT_BYREF | VT_I4, &number, VT_BYREF | VT_VARIANT, &variable},
      {"ret_code as a BSTR reference", VT_BYREF | VT_VARIANT, &variable, VT_BYREF | VT_BSTR, &text},
      {"ret as a null VARIANT reference", VT_BYREF | VT_VARIANT, nullptr, VT_BYREF | VT_VARIANT, &variable},
      {"ret_code as a null VARIANT reference", VT_BYREF | VT_BSTR, &text, VT_BYREF | VT_VARIANT, nullptr},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    VARIANT args[3];
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = arg.get();
    V_VT(&args[1]) = r.ret_vt;
    V_BYREF(&args[1]) = r.ret;
    V_VT(&args[0]) = r.code_vt;
    V_BYREF(&args[0]) = r.code;
    DISPPARAMS params{args, nullptr, 3, 0};
    EXPECT_TRUE(FAILED(disp_->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                     nullptr)));
    EXPECT_EQ(number, 7);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(V_VT(&variable), VT_I2);
  }
  EXPECT_TRUE(provider_lines().empty());
}

}  // namespace
