// DoDadev.exe serving: calls from another process through the vtable and IDispatch, one instance
// per session, its life after the last client, and its end on WM_QUIT.
#include <optional>

#include "e2e_support.h"
#include "proxy/dodadev_h.h"
#include "proxy/server_link.h"
#include "tests/support/hresult_assert.h"
#include "win/call_text_bstr.h"
#include "win/owners.h"

namespace {

using kv::com_ptr;

// What one call_function answered, with the result decoded.
struct answer {
  HRESULT hr = E_UNEXPECTED;
  LONG ret_code = 0x7FFFFFFF;
  std::optional<std::wstring> result;
  bool operator==(const answer& other) const {
    return hr == other.hr && ret_code == other.ret_code && result == other.result;
  }
};

std::ostream& operator<<(std::ostream& out, const answer& value) {
  out << "hr 0x" << std::hex << static_cast<unsigned long>(value.hr) << ", ret_code 0x"
      << static_cast<unsigned long>(value.ret_code) << std::dec << ", result "
      << (value.result ? testing::PrintToString(*value.result) : std::string("NULL"));
  return out;
}

answer decoded(HRESULT hr, LONG ret_code, BSTR ret) {
  answer result{hr, ret_code, std::nullopt};
  if (ret) {
    kv::unique_bstr plain;
    EXPECT_HR(S_OK, decode_call_text(ret, plain.put()));
    result.result = plain.get() ? std::wstring(plain.get()) : std::wstring(L"<undecodable>");
  }
  return result;
}

answer call_vtable(LU_proxy_disp_i* object, const std::wstring& request) {
  kv::unique_bstr arg;
  EXPECT_HR(S_OK, encode_call_text(request.c_str(), arg.put()));
  kv::unique_bstr ret;
  LONG ret_code = 0x7FFFFFFF;
  const HRESULT hr = object->call_function(arg.get(), ret.put(), &ret_code);
  return decoded(hr, ret_code, ret.get());
}

answer call_dispatch(IDispatch* object, const std::wstring& request) {
  kv::unique_bstr arg;
  EXPECT_HR(S_OK, encode_call_text(request.c_str(), arg.put()));
  kv::unique_bstr ret;
  LONG ret_code = 0x7FFFFFFF;
  VARIANTARG args[3];
  for (VARIANTARG& each : args) VariantInit(&each);
  args[2].vt = VT_BSTR;
  args[2].bstrVal = arg.get();
  args[1].vt = VT_BYREF | VT_BSTR;
  args[1].pbstrVal = ret.put();
  args[0].vt = VT_BYREF | VT_I4;
  args[0].plVal = &ret_code;
  DISPPARAMS parameters = {args, nullptr, 3, 0};
  kv::unique_variant result;
  const HRESULT hr =
      object->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, result.put(), nullptr, nullptr);
  return decoded(hr, ret_code, ret.get());
}

std::wstring request(const std::wstring& function, const std::wstring& parameters) {
  return L"<?xml version=\"1.0\"?><function name=\"" + function + L"\">" + parameters + L"</function>";
}
std::wstring parameter(const std::wstring& name, const std::wstring& value) {
  return L"<parameter name=\"" + name + L"\">" + value + L"</parameter>";
}

struct call_row {
  const char* name;
  std::wstring request;
};

class server_serving : public e2e::server_e2e {
 protected:
  void SetUp() override {
    e2e::server_e2e::SetUp();
    ASSERT_EQ(e2e::run_server(L"/RegServer"), 0u);
    ASSERT_TRUE(provider_.registered());
  }
  void TearDown() override {
    provider_.remove();
    e2e::server_e2e::TearDown();
  }

  e2e::provider_registration provider_;
};

TEST_F(server_serving, calls_through_vtable_and_idispatch_answer_like_in_process) {
  using namespace std::string_literals;
  kv::test::provider_script script;
  script.texts[L"GetDrives"] = L"A:\\\0B:\\\0\0"s;
  script.type = 7;
  script.results[L"GetPath"] = S_FALSE;
  script.results[L"VerifyLastPwd"] = E_ACCESSDENIED;
  ASSERT_EQ(kv::test::store_script(script, record_file_), ERROR_SUCCESS);

  const call_row rows[] = {
      {"path list", request(L"keystore_drives", parameter(L"populated", L"true") + parameter(L"types", L"3"))},
      {"number", request(L"keystore_type", parameter(L"drive", L"C:\\"))},
      {"no result text",
       request(L"keystore_create_key_pwd", parameter(L"drive", L"C:\\") + parameter(L"password", L"p&amp;w") +
                                                 parameter(L"name", L"key") + parameter(L"timeout", L"30") +
                                                 parameter(L"def_local_key", L"false"))},
      {"success code other than 0", request(L"keystore_path", parameter(L"drive", L"C:\\"))},
      {"provider failure", request(L"keystore_verify_last_pwd", parameter(L"drive", L"C:\\") +
                                                                   parameter(L"new_password", L"n"))},
      {"missing parameter", request(L"keystore_create_key", parameter(L"name", L"key"))},
      {"not a keystore function", request(L"get_version", L"")},
      {"not XML", L"<function name=\"keystore_drives\""},
      {"empty request", L""},
  };

  // In this process first, the way the server would run it.
  kv::set_main_thread_id(GetCurrentThreadId());
  std::vector<answer> in_process;
  std::vector<std::vector<std::wstring>> in_process_records;
  for (const call_row& row : rows) {
    com_ptr<LU_proxy_disp_i> object;
    ASSERT_HR(S_OK, kv::create_lu_proxy_disp(nullptr, IID_LU_proxy_disp_i, object.put_void()));
    DeleteFileW(record_file_.c_str());
    in_process.push_back(call_vtable(object.get(), row.request));
    in_process_records.push_back(kv::test::read_record_file(record_file_));
  }
  kv::set_main_thread_id(0);

  e2e::process server(e2e::server_exe());
  ASSERT_NE(server.wait_until_serving(), 0u);
  com_ptr<LU_proxy_disp_i> remote;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, remote.put_void()));
  com_ptr<IDispatch> dispatch;
  ASSERT_HR(S_OK, remote->QueryInterface(IID_IDispatch, dispatch.put_void()));

  for (std::size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(rows[i].name);
    DeleteFileW(record_file_.c_str());
    const answer through_vtable = call_vtable(remote.get(), rows[i].request);
    EXPECT_EQ(through_vtable, in_process[i]);
    EXPECT_EQ(kv::test::read_record_file(record_file_), in_process_records[i]);

    const answer through_dispatch = call_dispatch(dispatch.get(), rows[i].request);
    // IDispatch::Invoke keeps the method's failures but not its success codes: S_FALSE comes
    // back as S_OK, and ret_code carries the outcome as always.
    EXPECT_HR(S_OK, through_dispatch.hr);
    EXPECT_HR(in_process[i].ret_code, through_dispatch.ret_code);
    EXPECT_EQ(through_dispatch.result, in_process[i].result);
  }
  // The answers are the provider's, not an empty road: the first row carries the scripted list.
  ASSERT_TRUE(in_process[0].result);
  EXPECT_NE(in_process[0].result->find(L"B:\\"), std::wstring::npos);
  EXPECT_HR(S_FALSE, in_process[3].ret_code);
  EXPECT_HR(E_ACCESSDENIED, in_process[4].ret_code);
}

// The request reaches the server as the stub's own BSTR of the coded text, which anybody can
// decode, and the stub frees it when the call returns. No readable page of the server may then
// hold that BSTR: its length prefix followed by its units up to the end of the password. (The
// RPC runtime's receive buffer holds the units too, after another prefix, out of the server's
// reach; so does Wine's IDispatch stub, which hands Invoke a copy and keeps its own.)
TEST_F(server_serving, served_request_bstr_is_wiped_from_the_server_after_the_call) {
  e2e::process server(e2e::server_exe());
  ASSERT_NE(server.wait_until_serving(), 0u);
  com_ptr<LU_proxy_disp_i> remote;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, remote.put_void()));
  const kv::unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, server.id()));
  ASSERT_TRUE(process);

  const std::wstring password = L"wipe-me " + std::to_wstring(GetCurrentProcessId()) + L" 0123456789";
  const std::wstring text = request(L"keystore_create_key_pwd",
                                    parameter(L"drive", L"C:\\") + parameter(L"password", password) +
                                        parameter(L"name", L"key") + parameter(L"timeout", L"30") +
                                        parameter(L"def_local_key", L"false"));
  EXPECT_HR(S_OK, call_vtable(remote.get(), text).ret_code);
  // Coded unit i depends on plain units 0..i only, so the password's coded units sit at its own
  // place in the coded request.
  kv::unique_bstr coded;
  ASSERT_HR(S_OK, encode_call_text(text.c_str(), coded.put()));
  const UINT length = SysStringByteLen(coded.get());
  std::vector<unsigned char> bstr(reinterpret_cast<const unsigned char*>(&length),
                                  reinterpret_cast<const unsigned char*>(&length + 1));
  const auto* units = reinterpret_cast<const unsigned char*>(coded.get());
  bstr.insert(bstr.end(), units, units + (text.find(password) + password.size()) * sizeof(wchar_t));

  std::size_t scanned = 0;
  EXPECT_FALSE(e2e::process_memory_holds(process.get(), bstr, scanned));
  // The scan reads the server's memory: its image holds this reporter name.
  const std::wstring known = L"LU_proxy_disp::call_function";
  const auto* known_bytes = reinterpret_cast<const unsigned char*>(known.c_str());
  EXPECT_TRUE(e2e::process_memory_holds(
      process.get(), std::vector<unsigned char>(known_bytes, known_bytes + known.size() * sizeof(wchar_t)), scanned));
}

TEST_F(server_serving, second_instance_writes_its_reason_and_exits_with_0) {
  e2e::process first(e2e::server_exe());
  ASSERT_NE(first.wait_until_serving(), 0u);
  e2e::process second(e2e::server_exe());
  ASSERT_TRUE(second.started());
  ASSERT_TRUE(second.wait(30000));
  EXPECT_EQ(second.exit_code(), 0u);
  EXPECT_EQ(e2e::count_lines(second.id(), L"DoDadev!wWinMain[0](Exiting because of other instance!)\n"), 1);
  EXPECT_EQ(e2e::count_lines(second.id(), L"Starting"), 0);
  EXPECT_TRUE(first.running());
}

TEST_F(server_serving, releasing_every_client_keeps_the_server_and_the_next_client_reaches_it) {
  e2e::process server(e2e::server_exe());
  ASSERT_NE(server.wait_until_serving(), 0u);
  const std::wstring call = request(L"get_version", L"");
  {
    com_ptr<LU_proxy_disp_i> object;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, object.put_void()));
    EXPECT_HR(S_OK, call_vtable(object.get(), call).hr);
  }
  EXPECT_FALSE(server.wait(3000));

  com_ptr<LU_proxy_disp_i> next;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, next.put_void()));
  EXPECT_HR(S_OK, call_vtable(next.get(), call).hr);
  EXPECT_EQ(e2e::count_lines(server.id(), L"LU_proxy_disp::call_function[0]"), 2);
  EXPECT_EQ(e2e::traced_servers(), std::set<DWORD>{server.id()});
}

TEST_F(server_serving, wm_quit_to_the_traced_main_thread_ends_the_server_with_exit_code_0) {
  e2e::process server(e2e::server_exe());
  const DWORD thread = server.wait_until_serving();
  ASSERT_NE(thread, 0u);
  // The thread id of the trace line is the thread that call_function compares against.
  {
    com_ptr<LU_proxy_disp_i> object;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, object.put_void()));
    EXPECT_HR(S_OK, call_vtable(object.get(), request(L"get_version", L"")).ret_code);
  }
  const std::wstring head = L",T:";
  bool call_on_main_thread = false;
  for (const std::wstring& line : e2e::trace_lines_of(server.id())) {
    if (line.find(L"LU_proxy_disp::call_function[0]") == std::wstring::npos) continue;
    const std::size_t at = line.find(head);
    call_on_main_thread = at != std::wstring::npos && std::stoul(line.substr(at + head.size())) == thread;
  }
  EXPECT_TRUE(call_on_main_thread);

  ASSERT_TRUE(PostThreadMessageW(thread, WM_QUIT, 0, 0));
  ASSERT_TRUE(server.wait(15000));
  EXPECT_EQ(server.exit_code(), 0u);
  EXPECT_EQ(e2e::count_lines(server.id(), L"CDoDadevModule::PostMessageLoop[0]\n"), 1);
}

TEST_F(server_serving, com_starts_the_server_for_the_first_client) {
  com_ptr<LU_proxy_disp_i> object;
  ASSERT_HR(S_OK, CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, object.put_void()));
  EXPECT_HR(S_OK, call_vtable(object.get(), request(L"get_version", L"")).hr);
  const std::set<DWORD> servers = e2e::traced_servers();
  ASSERT_EQ(servers.size(), 1u);
  EXPECT_NE(*servers.begin(), GetCurrentProcessId());
  object.reset();
  // TearDown ends it through its traced main thread.
}

}  // namespace
