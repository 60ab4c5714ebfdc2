// call_function end to end: refusals with their reports and codes, names that run nothing, the
// coded result, foreign threads, null out pointers and allocation failure at every step.
#include <objidl.h>

#include <set>
#include <thread>

#include "call_test_support.h"
#include "tests/support/hresult_assert.h"
#include "tests/types/freed_blocks.h"
#include "types/kv_alloc.h"

namespace {

using namespace call_test;

using call_entry = call_path;

const std::wstring folder_request = request_text(L"keystore_folder", {{L"drive", L"C:\\keys"}});

TEST_F(call_entry, refusals_answer_s_false_with_their_report_and_code) {
  struct row {
    const char* name;
    std::optional<std::wstring> plain;  // nullopt: a null argument
    bool other_thread;
    HRESULT code;
    std::vector<std::wstring> lines;
  };
  journal_->script.results[L"GetFolder"] = E_ACCESSDENIED;
  const std::wstring mismatch = call_report(L"Exit call due to thread mismatch!");
  const std::wstring no_function = call_report(L"Exit call, XML document contained no function!");
  const std::wstring no_name = call_report(L"Exit call, function name is missing!");
  const std::wstring error_code = call_report(L"Call returned error code!");
  const row rows[] = {
      {"another thread", folder_request, true, E_FAIL, {call_line, mismatch}},
      {"another thread with a null argument", std::nullopt, true, E_FAIL, {call_line, mismatch}},
      {"null argument", std::nullopt, false, E_INVALIDARG, {call_line, call_report(L"Call with a NULL argument!")}},
      {"unterminated tag", L"<function name=\"keystore_drives\"", false, E_INVALIDARG,
       {call_line, call_report(L"Exit call, unable to interpret XML document!")}},
      {"zero-length text", L"", false, E_INVALIDARG, {call_line, no_function}},
      {"no function element", L"<request name=\"keystore_drives\"/>", false, E_INVALIDARG, {call_line, no_function}},
      {"function below the top level", L"<call><function name=\"keystore_drives\"/></call>", false, E_INVALIDARG,
       {call_line, no_function}},
      {"function without name", L"<function/>", false, E_INVALIDARG, {call_line, no_name}},
      {"function with an empty name", L"<function name=\"\"/>", false, E_INVALIDARG, {call_line, no_name}},
      {"marker inside an unknown name", request_text(L"my_keystore_drives"), false, E_INVALIDARG,
       {call_line, operation_line(L"my_keystore_drives"), operation_report(L"Unknown command!"), error_code}},
      {"provider failure", folder_request, false, E_ACCESSDENIED,
       {call_line, operation_line(L"keystore_folder"), error_code}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    journal_->calls.clear();
    trace_lines trace;
    outcome out;
    if (r.other_thread) {
      std::thread([&] { out = call(r.plain); }).join();
    } else {
      out = call(r.plain);
    }
    EXPECT_HR(S_FALSE, out.hr);
    EXPECT_HR(static_cast<HRESULT>(out.code), r.code);
    EXPECT_EQ(out.ret, untouched_ret());
    EXPECT_EQ(trace.get(), r.lines);
  }
  // Only the provider failure got as far as the provider.
  EXPECT_EQ(provider_lines(), (std::vector<std::wstring>{L"GetFolder(\"C:\\keys\", out)"}));
}

TEST_F(call_entry, names_without_the_lower_case_marker_run_nothing) {
  for (const wchar_t* name : {L"get_version", L"Keystore_drives", L"KEYSTORE_DRIVES", L"keystore-drives"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
    trace_lines trace;
    const outcome out = call(request_text(name, {{L"populated", L"true"}, {L"types", L"1"}}));
    EXPECT_HR(S_OK, out.hr);
    EXPECT_EQ(out.code, 0);
    EXPECT_EQ(out.ret, nullptr);
    EXPECT_EQ(trace.get(), std::vector<std::wstring>{call_line});
  }
  EXPECT_EQ(factory_->requests(), 0);
}

TEST_F(call_entry, element_and_attribute_names_ignore_letter_case) {
  journal_->script.texts[L"GetFolder"] = L"D:\\store";
  const outcome out = call(L"<FUNCTION NAME=\"keystore_folder\"><Parameter Name=\"drive\">C:</Parameter></FUNCTION>");
  EXPECT_HR(S_OK, out.hr);
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(out.result, result_document(L"  <path>D:\\store</path>\r\n"));
  EXPECT_EQ(provider_lines(), (std::vector<std::wstring>{L"GetFolder(\"C:\", out)"}));
}

// The request handed on still holds both elements; the getters read the first one too.
TEST_F(call_entry, first_of_two_function_elements_names_the_function_and_its_parameters) {
  const outcome out = call(request_text(L"keystore_folder", {{L"drive", L"A:"}}) +
                           request_text(L"keystore_type", {{L"drive", L"B:"}}));
  EXPECT_HR(S_OK, out.hr);
  EXPECT_EQ(provider_lines(), (std::vector<std::wstring>{L"GetFolder(\"A:\", out)"}));
}

TEST_F(call_entry, success_codes_of_the_operation_reach_ret_code) {
  journal_->script.results[L"GetFolder"] = S_FALSE;
  journal_->script.texts[L"GetFolder"] = L"C:\\keys\\folder";
  const outcome out = call(folder_request);
  EXPECT_HR(S_OK, out.hr);
  EXPECT_HR(S_FALSE, out.code);
  EXPECT_EQ(out.result, result_document(L"  <path>C:\\keys\\folder</path>\r\n"));
}

TEST_F(call_entry, operation_without_result_text_answers_null) {
  const outcome out = call(
      request_text(L"keystore_delete_key", {{L"drive", L"C:"}, {L"id", L"{01234567-89AB-CDEF-0123-456789ABCDEF}"}}));
  EXPECT_HR(S_OK, out.hr);
  EXPECT_EQ(out.code, 0);
  EXPECT_EQ(out.ret, nullptr);
  EXPECT_EQ(provider_lines(),
            (std::vector<std::wstring>{L"DeleteKey(\"C:\", {01234567-89AB-CDEF-0123-456789ABCDEF})"}));
}

// The client gets the result document in the call text coding, markup characters escaped.
TEST_F(call_entry, result_is_the_coded_result_document) {
  journal_->script.texts[L"GetFolder"] = L"C:\\keys\\a&b";
  const outcome out = call(folder_request);
  ASSERT_HR(S_OK, out.hr);
  ASSERT_NE(out.ret, nullptr);
  EXPECT_EQ(out.result, result_document(L"  <path>C:\\keys\\a&amp;b</path>\r\n"));
}

// Memory that held text is zeroed before it is freed: no block that a whole call gives back,
// from the C runtime's heap or the objects' heap, still holds the password it carried.
TEST_F(call_entry, no_block_freed_by_the_call_holds_the_password) {
  const wchar_t password[] = L"Pa55-w0rd long enough to leave a node's own room";
  kv::unique_bstr arg = coded(request_text(L"keystore_create_key_pwd", {{L"drive", L"C:\\keys"},
                                                                        {L"password", password},
                                                                        {L"name", L"key one"},
                                                                        {L"timeout", L"30"},
                                                                        {L"def_local_key", L"true"}}));
  BSTR ret = untouched_ret();
  LONG code = -1;
  {
    freed_blocks freed;
    ASSERT_HR(S_OK, object_->call_function(arg.get(), &ret, &code));
    EXPECT_GT(freed.count(), 10u);
    EXPECT_FALSE(freed.hold(password));
  }
  const kv::unique_bstr owned = owned_ret(ret);
  EXPECT_EQ(code, 0);
  ASSERT_EQ(provider_lines().size(), 1u);
  EXPECT_NE(provider_lines()[0].find(password), std::wstring::npos);
}

// The coding reads up to the first NUL, whatever the counted length says.
TEST_F(call_entry, argument_is_read_up_to_its_first_nul) {
  kv::unique_bstr good = coded(folder_request);
  const UINT length = SysStringLen(good.get());
  kv::unique_bstr padded(SysAllocStringLen(nullptr, length + 8));
  std::fill(padded.get(), padded.get() + length + 8, L'\x4141');
  std::copy(good.get(), good.get() + length, padded.get());
  padded.get()[length] = 0;
  BSTR ret = untouched_ret();
  LONG code = -1;
  EXPECT_HR(S_OK, object_->call_function(padded.get(), &ret, &code));
  EXPECT_EQ(code, 0);
  kv::unique_bstr owned(ret);
  EXPECT_EQ(provider_lines(), (std::vector<std::wstring>{L"GetFolder(\"C:\\keys\", out)"}));
}

TEST_F(call_entry, null_out_pointers_are_refused_before_anything_is_performed) {
  kv::unique_bstr arg = coded(folder_request);
  BSTR ret = untouched_ret();
  EXPECT_HR(E_POINTER, object_->call_function(arg.get(), &ret, nullptr));
  EXPECT_EQ(ret, untouched_ret());

  trace_lines trace;
  LONG code = 0;
  EXPECT_HR(S_FALSE, object_->call_function(arg.get(), nullptr, &code));
  EXPECT_HR(E_POINTER, code);
  EXPECT_EQ(trace.get(), (std::vector<std::wstring>{call_line, call_report(L"Call without a place for the result!")}));
  EXPECT_EQ(factory_->requests(), 0);

  // The thread test still comes first.
  std::thread([&] { EXPECT_HR(S_FALSE, object_->call_function(arg.get(), nullptr, &code)); }).join();
  EXPECT_HR(E_FAIL, code);
}

// A client must not be able to start lines of its own in the trace.
TEST_F(call_entry, control_characters_of_the_command_name_are_escaped_in_the_trace) {
  trace_lines trace;
  call(request_text(L"keystore_x&#10;00:00:00 [1] P:   1,T:   1 LU_proxy_disp::forged&#9;&#127;"));
  call(request_text(L"keystore_%s%n\\x0A"));
  EXPECT_EQ(trace.get(), (std::vector<std::wstring>{
                             call_line,
                             operation_line(L"keystore_x\\x0A00:00:00 [1] P:   1,T:   1 LU_proxy_disp::forged\\x09\\x7F"),
                             operation_report(L"Unknown command!"),
                             call_report(L"Call returned error code!"),
                             call_line,
                             operation_line(L"keystore_%s%n\\x0A"),
                             operation_report(L"Unknown command!"),
                             call_report(L"Call returned error code!"),
                         }));
}

// Counts the task-memory blocks (BSTRs among them) allocated and not yet freed while it is
// registered. The test program runs with OANOCACHE set, so freed strings are really freed.
class block_spy final : public IMallocSpy {
 public:
  std::set<void*> live;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IMallocSpy) {
      *object = static_cast<IMallocSpy*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) override {
    if (block) live.insert(block);
    return block;
  }
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
    live.erase(block);
    return block;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** new_block, BOOL) override {
    live.erase(block);
    *new_block = block;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override {
    if (block) live.insert(block);
    return block;
  }
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

// Fails the n-th allocation of a typical call, and every later one, for n = 0, 1, 2, ... until the
// call gets through. Each refusal must free what the call made and leave the object working.
TEST_F(call_entry, every_allocation_failure_answers_out_of_memory_and_leaks_nothing) {
  ASSERT_NE(GetEnvironmentVariableW(L"OANOCACHE", nullptr, 0), 0u) << "run with OANOCACHE=1";
  journal_->script.texts[L"GetDrives"] = std::wstring(L"C:\\\0D:\\\0\0", 8);
  struct row {
    const char* name;
    std::wstring request;
  };
  const row rows[] = {
      {"five parameters, no result",
       request_text(L"keystore_create_key_pwd", {{L"drive", L"C:\\keys"},
                                                 {L"password", L"pw"},
                                                 {L"name", L"key one"},
                                                 {L"timeout", L"30"},
                                                 {L"def_local_key", L"true"}})},
      {"path list result", request_text(L"keystore_drives", {{L"populated", L"true"}, {L"types", L"3"}})},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    kv::unique_bstr arg = coded(r.request);
    block_spy spy;
    ASSERT_HR(S_OK, CoRegisterMallocSpy(&spy));
    int failures = 0;
    bool succeeded = false;
    for (std::int64_t n = 0; n < 100000 && !succeeded; ++n) {
      BSTR ret = untouched_ret();
      LONG code = 0;
      kv::alloc_probe::fail_after(n);
      const HRESULT hr = object_->call_function(arg.get(), &ret, &code);
      kv::alloc_probe::disarm();
      if (hr == S_OK) {
        EXPECT_EQ(code, 0) << "n = " << n;
        const kv::unique_bstr owned = owned_ret(ret);
        succeeded = true;
      } else {
        ++failures;
        EXPECT_HR(S_FALSE, hr) << "n = " << n;
        EXPECT_HR(static_cast<HRESULT>(code), E_OUTOFMEMORY) << "n = " << n;
        // Left as passed, or null after a result coding that could not allocate.
        EXPECT_TRUE(ret == untouched_ret() || ret == nullptr) << "n = " << n;
      }
      ASSERT_EQ(kv::test::recording_provider_instances(), 0) << "n = " << n;
      ASSERT_EQ(spy.live.size(), 0u) << "task memory left over at n = " << n;
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(failures, 10);
    EXPECT_HR(S_OK, CoRevokeMallocSpy());

    const outcome after = call(r.request);
    EXPECT_HR(S_OK, after.hr);
    EXPECT_EQ(after.code, 0);
  }
}

}  // namespace
