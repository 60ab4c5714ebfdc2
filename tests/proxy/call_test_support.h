#pragma once
// Helpers of the call path tests: requests as text, the call text coding, one LU_proxy_disp object
// called on this thread with recording providers behind it, and the trace lines it wrote.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crypto_support.h"
#include "proxy/dodadev_h.h"
#include "proxy/lu_proxy_disp.h"
#include "proxy/server_link.h"
#include "proxy_test_support.h"
#include "tests/support/hresult_assert.h"
#include "tests/support/recording_provider.h"
#include "win/call_text_bstr.h"
#include "win/owners.h"

namespace call_test {

struct parameter {
  std::wstring name;
  std::wstring value;  // the element's content as written: a text, or markup
};

// <function name="...">, one <parameter name="..."> per entry.
inline std::wstring request_text(const std::wstring& function, const std::vector<parameter>& parameters = {}) {
  std::wstring text = L"<function name=\"" + function + L"\">";
  for (const parameter& p : parameters) text += L"<parameter name=\"" + p.name + L"\">" + p.value + L"</parameter>";
  return text + L"</function>";
}

// The result document of one element, as the server writes it.
inline std::wstring result_document(const std::wstring& element_lines) {
  return L"\xFEFF<?xml version=\"1.0\"?>\r\n" + element_lines;
}

// A certificate parameter naming a certificate of CA-A by its serial number.
inline parameter certificate_parameter(const std::wstring& name, std::uint32_t serial) {
  const std::wstring markup = L"<certificate serial_number=\"" + crypto_test::base64(crypto_test::serial_bytes(serial)) +
                              L"\" issuer=\"" + crypto_test::base64(crypto_test::subject_name(fixture::ca_a)) + L"\"/>";
  return {name, markup};
}

inline kv::unique_bstr coded(const std::wstring& plain) {
  kv::unique_bstr text;
  EXPECT_HR(S_OK, encode_call_text(plain.c_str(), text.put()));
  return text;
}

inline std::wstring plain_of(BSTR coded_text) {
  kv::unique_bstr plain;
  EXPECT_HR(S_OK, decode_call_text(coded_text, plain.put()));
  return plain.get() ? std::wstring(plain.get()) : std::wstring();
}

inline std::wstring text_of(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : L"<null>"; }

// What the caller's `ret` held before the call; the server must not touch it on refusals.
inline BSTR untouched_ret() { return reinterpret_cast<BSTR>(static_cast<std::uintptr_t>(0x5EED)); }

// What a call wrote into a ret that started as untouched_ret(), owned; nothing when it left it.
inline kv::unique_bstr owned_ret(BSTR ret) { return kv::unique_bstr(ret == untouched_ret() ? nullptr : ret); }

struct outcome {
  HRESULT hr = E_UNEXPECTED;
  LONG code = 0x7EADBEEF;
  BSTR ret = nullptr;  // as the call left it (the raw pointer; owned in `owned`)
  kv::unique_bstr owned;
  std::wstring result;  // the decoded result when there was one
};

// One call_function with a coded request (or a null one) and a pre-set ret.
inline outcome call(LU_proxy_disp_i* object, const std::optional<std::wstring>& plain) {
  kv::unique_bstr arg = plain ? coded(*plain) : kv::unique_bstr();
  outcome out;
  out.ret = untouched_ret();
  out.hr = object->call_function(arg.get(), &out.ret, &out.code);
  // The request is the caller's: a call in this process leaves it as it was.
  if (plain) {
    EXPECT_EQ(plain_of(arg.get()), *plain);
  }
  out.owned = owned_ret(out.ret);
  if (out.owned) out.result = plain_of(out.ret);
  return out;
}

// The trace lines of this process from LU_proxy_disp, with tracing switched on while it lives.
class trace_lines {
 public:
  trace_lines() = default;
  std::vector<std::wstring> get(const wchar_t* prefix = L"LU_proxy_disp::") const { return reader_.lines(prefix); }

 private:
  crypto_test::trace_reader reader_;
};

// An LU_proxy_disp made on this thread, which is its main thread, with recording providers behind
// kv::create_keystore_provider. Tracing is off unless a test makes a trace_lines.
class call_path : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    crypto_test::trace_reader::switch_off();
    kv::set_main_thread_id(GetCurrentThreadId());
    factory_ = std::make_unique<kv::test::scoped_recording_factory>(journal_);
    ASSERT_HR(S_OK, kv::create_lu_proxy_disp(nullptr, IID_LU_proxy_disp_i, object_.put_void()));
  }
  void TearDown() override {
    object_.reset();
    factory_.reset();
    crypto_test::trace_reader::switch_off();
    EXPECT_EQ(kv::test::recording_provider_instances(), 0);
  }

  outcome call(const std::optional<std::wstring>& plain) { return call_test::call(object_.get(), plain); }
  std::vector<std::wstring> provider_lines() const { return journal_->lines(); }

  const proxy_test::com_apartment com_;
  std::shared_ptr<kv::test::provider_journal> journal_ = std::make_shared<kv::test::provider_journal>();
  std::unique_ptr<kv::test::scoped_recording_factory> factory_;
  proxy_test::com_ptr<LU_proxy_disp_i> object_;
};

inline const std::wstring call_line = L"LU_proxy_disp::call_function[0]";
inline std::wstring operation_line(const std::wstring& command) {
  return L"LU_proxy_disp::keystore_perform_operation[0](" + command + L")";
}
inline std::wstring call_report(const std::wstring& text) { return L"LU_proxy_disp::call_function: " + text; }
inline std::wstring operation_report(const std::wstring& text) {
  return L"LU_proxy_disp::keystore_perform_operation: " + text;
}
inline std::wstring missing_report(const std::wstring& getter, const std::wstring& name) {
  return L"LU_proxy_disp::get_parameter_" + getter + L": Failed to find a parameter named '" + name + L"'";
}

}  // namespace call_test
