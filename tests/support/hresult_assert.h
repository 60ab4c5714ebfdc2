#pragma once
// HRESULT assertions that say what went wrong: EXPECT_HR(E_INVALIDARG, hr) fails with
//   hr
//         is 0x80090016 NTE_BAD_KEYSET (Keyset does not exist)
//   expected 0x80070057 E_INVALIDARG (The parameter is incorrect.)
// instead of two signed decimals. The name comes from the table below, the text from the system
// (Wine 8 has no text for most NTE_ and CRYPT_E_ codes; the name still shows).
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/process_start.h"

namespace kv::test {

struct hresult_name {
  HRESULT code;
  const char* name;
};

#define KV_HRESULT_NAME(code) {code, #code}
inline constexpr hresult_name hresult_names[] = {
    KV_HRESULT_NAME(S_OK),
    KV_HRESULT_NAME(S_FALSE),
    KV_HRESULT_NAME(E_FAIL),
    KV_HRESULT_NAME(E_INVALIDARG),
    KV_HRESULT_NAME(E_OUTOFMEMORY),
    KV_HRESULT_NAME(E_POINTER),
    KV_HRESULT_NAME(E_NOTIMPL),
    KV_HRESULT_NAME(E_NOINTERFACE),
    KV_HRESULT_NAME(E_ACCESSDENIED),
    KV_HRESULT_NAME(E_UNEXPECTED),
    KV_HRESULT_NAME(E_ABORT),
    KV_HRESULT_NAME(CLASS_E_NOAGGREGATION),
    KV_HRESULT_NAME(CLASS_E_CLASSNOTAVAILABLE),
    KV_HRESULT_NAME(REGDB_E_CLASSNOTREG),
    KV_HRESULT_NAME(CO_E_NOTINITIALIZED),
    KV_HRESULT_NAME(CO_E_SERVER_EXEC_FAILURE),
    KV_HRESULT_NAME(RPC_E_CHANGED_MODE),
    KV_HRESULT_NAME(RPC_E_DISCONNECTED),
    KV_HRESULT_NAME(RPC_E_WRONG_THREAD),
    KV_HRESULT_NAME(DISP_E_UNKNOWNINTERFACE),
    KV_HRESULT_NAME(DISP_E_MEMBERNOTFOUND),
    KV_HRESULT_NAME(DISP_E_UNKNOWNNAME),
    KV_HRESULT_NAME(DISP_E_BADPARAMCOUNT),
    KV_HRESULT_NAME(DISP_E_TYPEMISMATCH),
    KV_HRESULT_NAME(DISP_E_PARAMNOTOPTIONAL),
    KV_HRESULT_NAME(DISP_E_BADINDEX),
    KV_HRESULT_NAME(DISP_E_EXCEPTION),
    KV_HRESULT_NAME(TYPE_E_ELEMENTNOTFOUND),
    KV_HRESULT_NAME(TYPE_E_LIBNOTREGISTERED),
    KV_HRESULT_NAME(NTE_BAD_DATA),
    KV_HRESULT_NAME(NTE_BAD_SIGNATURE),
    KV_HRESULT_NAME(NTE_BAD_KEY_STATE),
    KV_HRESULT_NAME(NTE_BAD_KEYSET),
    KV_HRESULT_NAME(NTE_BAD_ALGID),
    KV_HRESULT_NAME(NTE_BAD_KEY),
    KV_HRESULT_NAME(NTE_NO_KEY),
    KV_HRESULT_NAME(NTE_NOT_FOUND),
    KV_HRESULT_NAME(NTE_PERM),
    KV_HRESULT_NAME(NTE_EXISTS),
    KV_HRESULT_NAME(CRYPT_E_NOT_FOUND),
    KV_HRESULT_NAME(CRYPT_E_REVOKED),
    KV_HRESULT_NAME(CRYPT_E_NO_REVOCATION_CHECK),
    KV_HRESULT_NAME(CRYPT_E_REVOCATION_OFFLINE),
};
#undef KV_HRESULT_NAME

// "0x80070057 E_INVALIDARG (The parameter is incorrect.)"; a Win32 error wrapped by
// HRESULT_FROM_WIN32 is named "HRESULT_FROM_WIN32(87)".
inline std::string hresult_text(HRESULT hr) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08lX", static_cast<unsigned long>(hr));
  std::string text = number;
  const char* name = nullptr;
  for (const hresult_name& row : hresult_names) {
    if (row.code == hr) name = row.name;
  }
  if (name) {
    text += std::string(" ") + name;
  } else if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr)) {
    text += " HRESULT_FROM_WIN32(" + std::to_string(HRESULT_CODE(hr)) + ")";
  }
  std::wstring meaning = system_message(static_cast<DWORD>(hr));
  while (!meaning.empty() && (meaning.back() == L'\n' || meaning.back() == L'\r')) meaning.pop_back();
  if (!meaning.empty()) text += " (" + narrow(meaning) + ")";
  return text;
}

inline ::testing::AssertionResult hresults_equal(const char* expected_text, const char* actual_text,
                                                 HRESULT expected, HRESULT actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  std::string wanted = hresult_text(expected);
  // A constant names itself; an expression such as row.expected is worth naming.
  if (wanted.find(expected_text) == std::string::npos) wanted += std::string(" from ") + expected_text;
  return ::testing::AssertionFailure() << actual_text << "\n      is " << hresult_text(actual) << "\nexpected "
                                       << wanted;
}

inline ::testing::AssertionResult hresults_differ(const char* unexpected_text, const char* actual_text,
                                                  HRESULT unexpected, HRESULT actual) {
  if (unexpected != actual) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual_text << "\n      is " << hresult_text(actual)
                                       << ", which it must not be (" << unexpected_text << ")";
}

}  // namespace kv::test

// The expressions are named as written (before their macros expand), as EXPECT_EQ names them.
#define EXPECT_HR(expected, actual) \
  GTEST_ASSERT_(::kv::test::hresults_equal(#expected, #actual, (expected), (actual)), GTEST_NONFATAL_FAILURE_)
#define ASSERT_HR(expected, actual) \
  GTEST_ASSERT_(::kv::test::hresults_equal(#expected, #actual, (expected), (actual)), GTEST_FATAL_FAILURE_)
#define EXPECT_HR_NE(unexpected, actual) \
  GTEST_ASSERT_(::kv::test::hresults_differ(#unexpected, #actual, (unexpected), (actual)), GTEST_NONFATAL_FAILURE_)
#define ASSERT_HR_NE(unexpected, actual) \
  GTEST_ASSERT_(::kv::test::hresults_differ(#unexpected, #actual, (unexpected), (actual)), GTEST_FATAL_FAILURE_)
