// The registry-script interpreter against scratch keys under HKEY_CURRENT_USER: what it refuses,
// what it writes and what it removes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry_dump.h"
#include "server/registrar.h"
#include "tests/support/hresult_assert.h"
#include "types/kv_alloc.h"
#include "win/owners.h"

namespace {

using server_test::dump;
using lines = std::vector<std::wstring>;

const std::wstring scratch = L"Software\\DoDadevTests\\registrar-" + std::to_wstring(GetCurrentProcessId());

// Three scratch keys stand for HKCR, HKCU and HKLM.
class registrar : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
    roots_.classes_root = create(L"\\cr", scratch_keys_[0]);
    roots_.current_user = create(L"\\cu", scratch_keys_[1]);
    roots_.local_machine = create(L"\\lm", scratch_keys_[2]);
  }
  void TearDown() override {
    kv::alloc_probe::disarm();
    for (kv::unique_hkey& key : scratch_keys_) key.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, scratch.c_str());
  }

  static HKEY create(const wchar_t* suffix, kv::unique_hkey& key) {
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (scratch + suffix).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    return key.get();
  }

  HRESULT run(const std::wstring& script, kv::registrar_mode mode = kv::registrar_mode::register_keys,
              kv::registrar_error* error = nullptr) {
    return kv::run_registry_script(script.c_str(), replacements_, 3, mode, roots_, error);
  }
  HRESULT unregister(const std::wstring& script) { return run(script, kv::registrar_mode::unregister_keys); }

  lines classes() const { return dump(HKEY_CURRENT_USER, scratch + L"\\cr"); }

  static void set_text(HKEY root, const wchar_t* path, const wchar_t* name, const wchar_t* value) {
    ASSERT_EQ(RegSetKeyValueW(root, path, name, REG_SZ, value,
                              static_cast<DWORD>((std::wstring(value).size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  kv::unique_hkey scratch_keys_[3];  // what roots_ points at
  kv::registrar_roots roots_;
  kv::registrar_replacement replacements_[3] = {
      {L"Module", L"\"C:\\Program Files\\O'Neil\\DoDadev.exe\""},
      {L"Module_Raw", L"C:\\Program Files\\O''Neil\\DoDadev.exe"},
      {L"APPID", L"{C6971B38-4C39-4685-86CE-F210381E3137}"},
  };
};

struct refusal_row {
  const char* name;
  std::wstring script;
  HRESULT code;
  unsigned line;
  unsigned column;
};

TEST_F(registrar, registrar_refuses_malformed_scripts_with_their_place_and_writes_nothing) {
  const std::wstring deep_open = [] {
    std::wstring text = L"HKCR {";
    for (int i = 0; i <= kv::registrar_max_depth; ++i) text += L" k {";
    return text;
  }();
  const refusal_row rows[] = {
      {"root without block", L"HKCR", kv::registrar_e_syntax, 1, 5},
      {"block never closed", L"HKCR {\n  A\n", kv::registrar_e_syntax, 3, 1},
      {"unknown root", L"HKCR { }\nHKXX { }", kv::registrar_e_root, 2, 1},
      {"quoted root", L"'HKCR' { }", kv::registrar_e_syntax, 1, 1},
      {"stray closing brace", L"HKCR { A }\n}", kv::registrar_e_syntax, 2, 1},
      {"unterminated text", L"HKCR {\n  A = s 'x }\n}", kv::registrar_e_syntax, 2, 9},
      {"text not quoted", L"HKCR { A = s x }", kv::registrar_e_syntax, 1, 14},
      {"unknown value type", L"HKCR { A = q 'x' }", kv::registrar_e_syntax, 1, 12},
      {"type letter from a replacement", L"HKCR { A = %APPID% 'x' }", kv::registrar_e_syntax, 1, 12},
      {"number with letters", L"HKCR { A = d '12x' }", kv::registrar_e_syntax, 1, 14},
      {"hexadecimal without digits", L"HKCR { A = d 0x }", kv::registrar_e_syntax, 1, 14},
      {"number above 32 bits", L"HKCR { A = d 4294967296 }", kv::registrar_e_syntax, 1, 14},
      {"value at root level", L"HKCR { val A = s 'x' }", kv::registrar_e_syntax, 1, 8},
      {"value without equals", L"HKCR { A { val B s 'x' } }", kv::registrar_e_syntax, 1, 18},
      {"value without name", L"HKCR { A { val = s 'x' } }", kv::registrar_e_syntax, 1, 16},
      {"empty key name", L"HKCR { '' }", kv::registrar_e_syntax, 1, 8},
      {"backslash in key name", L"HKCR { 'A\\B' }", kv::registrar_e_syntax, 1, 8},
      {"backslash in value name", L"HKCR { A { val 'x\\y' = s '' } }", kv::registrar_e_syntax, 1, 16},
      {"two defaults", L"HKCR { A = s 'x' = s 'y' }", kv::registrar_e_syntax, 1, 18},
      {"two flags", L"HKCR { NoRemove ForceRemove A }", kv::registrar_e_syntax, 1, 17},
      {"flag without key", L"HKCR { NoRemove }", kv::registrar_e_syntax, 1, 17},
      {"unknown replacement", L"HKCR {\n A = s '%NOPE%' }", kv::registrar_e_replacement, 2, 9},
      {"unterminated replacement", L"HKCR { A = s '%APPID' }", kv::registrar_e_syntax, 1, 15},
      {"keys too deep", deep_open, kv::registrar_e_depth, 1, 7 + 4 * kv::registrar_max_depth + 1},
  };
  for (const refusal_row& row : rows) {
    SCOPED_TRACE(row.name);
    // Something valid first: a refusal anywhere must leave the registry as it was.
    const std::wstring script = L"HKCR { Written = s 'early' }\n" + row.script;
    const unsigned line = row.line + 1;
    kv::registrar_error error;
    EXPECT_HR(row.code, run(script, kv::registrar_mode::register_keys, &error));
    EXPECT_EQ(error.line, line);
    EXPECT_EQ(error.column, row.column);
    EXPECT_NE(error.reason, nullptr);
    EXPECT_EQ(classes(), lines{});
  }
}

TEST_F(registrar, registrar_refuses_a_null_script_and_a_null_root) {
  EXPECT_HR(E_INVALIDARG, kv::run_registry_script(nullptr, nullptr, 0, kv::registrar_mode::register_keys, roots_));
  roots_.local_machine = nullptr;
  EXPECT_HR(E_INVALIDARG, run(L"HKLM { A }"));
}

TEST_F(registrar, registrar_writes_keys_defaults_and_values_under_each_root) {
  ASSERT_HR(S_OK, run(LR"(HKCR
{
	DoDadev.Test.1 = s 'Test Class'
	{
		CLSID = s '{01B5C31E-59A2-4194-9DCC-05F6FE00F066}'
		'Key with blanks'
		{
			val Count = d 42
			val Mask = d '0xFFFFFFFF'
			val 'Name with blanks' = s ''
		}
	}
}
HKEY_CURRENT_USER { UserKey = s 'u' }
HKLM { MachineKey { val V = s 'm' } })"));
  EXPECT_EQ(classes(), (lines{
                           L"DoDadev.Test.1",
                           L"DoDadev.Test.1\\@ = Test Class",
                           L"DoDadev.Test.1\\CLSID",
                           L"DoDadev.Test.1\\CLSID\\@ = {01B5C31E-59A2-4194-9DCC-05F6FE00F066}",
                           L"DoDadev.Test.1\\Key with blanks",
                           L"DoDadev.Test.1\\Key with blanks\\Count = #42",
                           L"DoDadev.Test.1\\Key with blanks\\Mask = #4294967295",
                           L"DoDadev.Test.1\\Key with blanks\\Name with blanks = ",
                       }));
  EXPECT_EQ(dump(HKEY_CURRENT_USER, scratch + L"\\cu"), (lines{L"UserKey", L"UserKey\\@ = u"}));
  EXPECT_EQ(dump(HKEY_CURRENT_USER, scratch + L"\\lm"), (lines{L"MachineKey", L"MachineKey\\V = m"}));
}

TEST_F(registrar, registrar_reads_keywords_and_roots_in_any_case_and_any_line_ending) {
  ASSERT_HR(S_OK, run(L"hkcr\r\n{\r\n\tnoremove A\r\n\t{\r\n\t\tVAL v = S 'x'\r\n\t\tforceREMOVE B = D 7\r\n\t}\r\n}\r\n"));
  EXPECT_EQ(classes(), (lines{L"A", L"A\\B", L"A\\B\\@ = #7", L"A\\v = x"}));
}

TEST_F(registrar, registrar_quoting_doubles_the_quote_and_keeps_keywords_as_names) {
  ASSERT_HR(S_OK, run(L"HKCR { 'NoRemove' = s 'It''s 100%% done' { 'val' = s '''' } }"));
  EXPECT_EQ(classes(), (lines{L"NoRemove", L"NoRemove\\@ = It's 100% done", L"NoRemove\\val", L"NoRemove\\val\\@ = '"}));
}

TEST_F(registrar, registrar_replacements_ignore_case_and_are_never_read_as_script) {
  replacements_[0].value = L"\"C:\\a'}{ b\\DoDadev.exe\"";
  ASSERT_HR(S_OK, run(L"HKCR { Server = s '%module%' { val Raw = s '%MODULE_RAW%' }\n %AppId% = s 'app' }"));
  EXPECT_EQ(classes(), (lines{
                           L"Server",
                           L"Server\\@ = \"C:\\a'}{ b\\DoDadev.exe\"",
                           L"Server\\Raw = C:\\Program Files\\O''Neil\\DoDadev.exe",
                           L"{C6971B38-4C39-4685-86CE-F210381E3137}",
                           L"{C6971B38-4C39-4685-86CE-F210381E3137}\\@ = app",
                       }));
}

TEST_F(registrar, registrar_replacement_cannot_make_a_keyword) {
  replacements_[2].value = L"NoRemove";
  // Read as a flag, the replacement would make one key A; read as a name, it makes two keys.
  ASSERT_HR(S_OK, run(L"HKCR { %APPID% A }"));
  EXPECT_EQ(classes(), (lines{L"A", L"NoRemove"}));
}

TEST_F(registrar, registrar_forceremove_deletes_the_subtree_before_writing) {
  set_text(roots_.classes_root, L"CLSID\\{X}\\Foreign\\Deep", L"v", L"old");
  set_text(roots_.classes_root, L"CLSID\\{X}", L"Stale", L"old");
  set_text(roots_.classes_root, L"CLSID\\Other", nullptr, L"kept");
  ASSERT_HR(S_OK, run(L"HKCR { NoRemove CLSID { ForceRemove '{X}' = s 'new' { Sub } } }"));
  EXPECT_EQ(classes(), (lines{L"CLSID", L"CLSID\\Other", L"CLSID\\Other\\@ = kept", L"CLSID\\{X}",
                              L"CLSID\\{X}\\@ = new", L"CLSID\\{X}\\Sub"}));
}

TEST_F(registrar, registrar_plain_key_keeps_what_others_wrote_beneath_it_at_registration) {
  set_text(roots_.classes_root, L"A\\Foreign", nullptr, L"theirs");
  ASSERT_HR(S_OK, run(L"HKCR { A = s 'ours' }"));
  EXPECT_EQ(classes(), (lines{L"A", L"A\\@ = ours", L"A\\Foreign", L"A\\Foreign\\@ = theirs"}));
}

TEST_F(registrar, registrar_unregistration_keeps_noremove_keys_and_removes_the_rest_with_subtrees) {
  const std::wstring script = LR"(HKCR
{
	NoRemove AppID
	{
		'%APPID%' = s 'DoDadev'
		'DoDadev.EXE' { val AppID = s '%APPID%' }
		val Ours = s 'x'
	}
	Prog = s 'p' { CurVer = s 'Prog.1' }
})";
  ASSERT_HR(S_OK, run(script));
  set_text(roots_.classes_root, L"AppID\\Someone", nullptr, L"theirs");
  set_text(roots_.classes_root, L"AppID", L"Theirs", L"t");
  set_text(roots_.classes_root, L"Prog\\Foreign", nullptr, L"beneath ours");

  ASSERT_HR(S_OK, unregister(script));
  EXPECT_EQ(classes(), (lines{L"AppID", L"AppID\\Someone", L"AppID\\Someone\\@ = theirs", L"AppID\\Theirs = t"}));
  // Nothing left to remove is no failure.
  EXPECT_HR(S_OK, unregister(script));
  EXPECT_HR(S_OK, unregister(L"HKCR { NoRemove Missing { Gone { val V = s '' } } }"));
}

TEST_F(registrar, registrar_unregistration_keeps_a_key_on_the_way_to_a_kept_key_only_while_it_holds_something) {
  const std::wstring script = L"HKCR { Outer = s 'o' { NoRemove Inner { Ours = s 'x' } val V = s 'v' } }";
  ASSERT_HR(S_OK, run(script));
  set_text(roots_.classes_root, L"Outer\\Inner\\Theirs", nullptr, L"t");
  ASSERT_HR(S_OK, unregister(script));
  EXPECT_EQ(classes(), (lines{L"Outer", L"Outer\\Inner", L"Outer\\Inner\\Theirs", L"Outer\\Inner\\Theirs\\@ = t"}));

  // Once the kept key is gone, nothing holds the key on the way any more.
  ASSERT_EQ(RegDeleteTreeW(roots_.classes_root, L"Outer\\Inner"), ERROR_SUCCESS);
  ASSERT_HR(S_OK, unregister(script));
  EXPECT_EQ(classes(), lines{});
}

TEST_F(registrar, registrar_reports_the_registry_failure_that_stopped_it) {
  // A root whose key was deleted under the open handle.
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, (scratch + L"\\cr").c_str()), ERROR_SUCCESS);
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_KEY_DELETED), run(L"HKCR { A = s 'x' }"));
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_KEY_DELETED), run(L"HKCU { A { B } }\nHKCR { A = s 'x' }"));
  // What came before the failure stays.
  EXPECT_EQ(dump(HKEY_CURRENT_USER, scratch + L"\\cu"), (lines{L"A", L"A\\B"}));
}

TEST_F(registrar, registrar_allocation_failure_answers_out_of_memory_and_writes_nothing) {
  const std::wstring script = L"HKCR { A = s '%APPID%' { val B = s 'b' C { D } } }";
  HRESULT hr = E_OUTOFMEMORY;
  int failing = 0;
  for (; hr == E_OUTOFMEMORY && failing < 1000; ++failing) {
    SCOPED_TRACE(failing);
    kv::alloc_probe::fail_after(failing);
    hr = run(script);
    kv::alloc_probe::disarm();
    if (hr == E_OUTOFMEMORY) {
      EXPECT_EQ(classes(), lines{});
    }
  }
  EXPECT_GT(failing, 1);
  EXPECT_HR(S_OK, hr);
  EXPECT_EQ(classes(), (lines{L"A", L"A\\@ = {C6971B38-4C39-4685-86CE-F210381E3137}", L"A\\B = b", L"A\\C",
                              L"A\\C\\D"}));
}

}  // namespace
