// dodadev-provider-check as its users run it: the real program, started as a child process, on
// broken_provider.dll with one fault at a time (DODADEV_BROKEN_FAULT), on the reference provider's
// test build and on the C sample. The build copies all four beside this program.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/beside_program.h"
#include "tests/support/fresh_folder.h"
#include "tests/support/process_start.h"
#include "win/owners.h"

namespace {

using kv::test::beside_program;
using kv::test::narrow;

struct checker_run {
  DWORD exit_code = STILL_ACTIVE;
  std::wstring output;  // standard output and error together
  ULONGLONG milliseconds = 0;
};

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Runs the checker with `arguments`, DODADEV_BROKEN_FAULT set to `fault` (null: unset).
checker_run run_checker(const std::wstring& arguments, const wchar_t* fault = nullptr) {
  checker_run run;
  const std::wstring program = beside_program(L"dodadev-provider-check.exe");
  const kv::test::fresh_folder folder(L"kv-check-output-");
  const std::wstring output_path = folder.path() + L"\\output.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  constexpr DWORD any_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  kv::unique_file output(
      CreateFileW(output_path.c_str(), GENERIC_WRITE, any_sharing, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!output) {
    ADD_FAILURE() << "cannot make " << narrow(output_path);
    return run;
  }
  SetEnvironmentVariableW(L"DODADEV_BROKEN_FAULT", fault);
  PROCESS_INFORMATION info;
  std::string failure;
  const ULONGLONG started = GetTickCount64();
  const bool began = kv::test::start_process(program, quoted(program) + L" " + arguments, output.get(), info, failure);
  SetEnvironmentVariableW(L"DODADEV_BROKEN_FAULT", nullptr);
  output.reset();
  if (!began) {
    ADD_FAILURE() << failure;
    return run;
  }
  const kv::unique_handle process(info.hProcess);
  if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 99);
    WaitForSingleObject(process.get(), 10000);
    ADD_FAILURE() << "the checker did not end within 120 s";
  }
  run.milliseconds = GetTickCount64() - started;
  GetExitCodeProcess(process.get(), &run.exit_code);
  // Shared for writing too: under Wine 8 the ended child's copy of the write handle can still be
  // open when its process is signalled, and a read that refuses it fails.
  kv::unique_file input(CreateFileW(output_path.c_str(), GENERIC_READ, any_sharing, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string bytes(1 << 20, '\0');
  DWORD read = 0;
  if (input) ReadFile(input.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  run.output.resize(read);
  run.output.resize(static_cast<std::size_t>(
      MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(read), run.output.data(), static_cast<int>(read))));
  return run;
}

// Each rule's verdict from its "PASS name: ..." line.
std::map<std::wstring, std::wstring> verdicts(const std::wstring& output) {
  std::map<std::wstring, std::wstring> found;
  for (std::size_t start = 0; start < output.size();) {
    std::size_t end = output.find(L'\n', start);
    if (end == std::wstring::npos) end = output.size();
    const std::wstring line = output.substr(start, end - start);
    start = end + 1;
    const std::wstring word = line.substr(0, 5);
    const std::size_t colon = line.find(L':');
    if ((word == L"PASS " || word == L"FAIL " || word == L"SKIP ") && colon != std::wstring::npos) {
      found[line.substr(5, colon - 5)] = word.substr(0, 4);
    }
  }
  return found;
}

std::set<std::wstring> with_verdict(const std::wstring& output, const wchar_t* verdict) {
  std::set<std::wstring> rules;
  for (const auto& [rule, shown] : verdicts(output)) {
    if (shown == verdict) rules.insert(rule);
  }
  return rules;
}

std::string as_list(const std::set<std::wstring>& rules) {
  std::string out;
  for (const std::wstring& rule : rules) out += (out.empty() ? "" : ", ") + narrow(rule);
  return out;
}

constexpr int rules_reported = 15;

// The reference provider remembers a folder drive under HKCU; the test forgets it again.
void forget_folder_drive(const std::wstring& drive) {
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\DoDadev\\Provider\\Folders", drive.c_str());
}

TEST(provider_check, broken_provider_fails_exactly_the_rule_of_each_fault) {
  struct row {
    const wchar_t* fault;
    std::set<std::wstring> failed;
  };
  const row rows[] = {
      {nullptr, {}},  // the provider keeps every rule without a fault
      {L"answer-code", {L"answer-code"}},
      {L"out-text", {L"out-text"}},
      {L"path-list", {L"path-list"}},
      {L"single-path", {L"single-path"}},
      {L"xml-characters", {L"xml-characters"}},
      {L"last-release", {L"last-release"}},
      {L"factory-aggregation", {L"factory-aggregation"}},
      {L"factory-interfaces", {L"factory-interfaces"}},
      {L"query-interface", {L"query-interface"}},
      {L"arguments-kept", {L"arguments-not-kept"}},
      // Wine 8 answers CRYPT_E_PENDING_CLOSE as Windows does, so the rule is checked here.
      {L"certificate-kept", {L"certificate-freed"}},
      {L"exception", {L"no-exception"}},
      {L"crash", {L"no-exception"}},
      {L"hang", {L"time-limit"}},
      {L"delete-keeps-key", {L"round-trip-keys"}},
      {L"any-password", {L"round-trip-passwords"}},
  };
  const std::wstring provider = beside_program(L"broken_provider.dll");
  for (const row& expected : rows) {
    SCOPED_TRACE(expected.fault ? narrow(expected.fault) : "no fault");
    const kv::test::fresh_folder scratch(L"kv-check-scratch-");
    const checker_run run =
        run_checker(L"--timeout 3 --scratch " + quoted(scratch.path()) + L" " + quoted(provider), expected.fault);
    EXPECT_EQ(expected.failed.empty() ? 0u : 1u, run.exit_code) << narrow(run.output);
    EXPECT_EQ(rules_reported, static_cast<int>(verdicts(run.output).size())) << narrow(run.output);
    EXPECT_EQ(as_list(expected.failed), as_list(with_verdict(run.output, L"FAIL"))) << narrow(run.output);
    const std::wstring summary = std::to_wstring(expected.failed.size()) + L" failed\n";
    EXPECT_NE(std::wstring::npos, run.output.find(summary)) << narrow(run.output);
    if (!expected.fault) {
      // Nothing is left unchecked: the round trip ran to its end.
      EXPECT_EQ("", as_list(with_verdict(run.output, L"SKIP"))) << narrow(run.output);
    }
    if (expected.fault && std::wstring(expected.fault) == L"hang") {
      // Reported after the 3 s limit, not waited for: the report is whole and the process ends.
      EXPECT_LT(run.milliseconds, 30000u);
      EXPECT_NE(std::wstring::npos, run.output.find(L"GetType(")) << narrow(run.output);
    }
  }
}

TEST(provider_check, a_failure_names_the_operation_and_its_inputs) {
  const std::wstring provider = beside_program(L"broken_provider.dll");
  const checker_run text = run_checker(quoted(provider), L"answer-code");
  EXPECT_NE(std::wstring::npos,
            text.output.find(L"FAIL answer-code: GetType(drive=\"\"): answered 0x00000003, a bare number"))
      << narrow(text.output);
  const checker_run json = run_checker(L"--json " + quoted(provider), L"answer-code");
  EXPECT_EQ(1u, json.exit_code);
  EXPECT_NE(std::wstring::npos,
            json.output.find(L"{\"rule\": \"answer-code\", \"result\": \"FAIL\", \"meaning\": "))
      << narrow(json.output);
  EXPECT_NE(std::wstring::npos, json.output.find(L"\"call\": \"GetType(drive=\\\"\\\")\"")) << narrow(json.output);
  EXPECT_NE(std::wstring::npos, json.output.find(L"\"passed\": 12, \"failed\": 1, \"skipped\": 2}"))
      << narrow(json.output);
}

TEST(provider_check, reference_provider_and_sample_pass) {
  struct row {
    const wchar_t* dll;
    const wchar_t* round_trip;  // the verdict of both round-trip rules
  };
  const row rows[] = {
      {L"dodadev_provider.dll", L"PASS"},
      {L"dodadev_sample_provider.dll", L"SKIP"},  // it makes no keystores
  };
  for (const row& expected : rows) {
    SCOPED_TRACE(narrow(expected.dll));
    const kv::test::fresh_folder scratch(L"kv-check-scratch-");
    const std::wstring drive = scratch.path() + L"\\round trip";
    const checker_run run = run_checker(L"--scratch " + quoted(drive) + L" " + quoted(beside_program(expected.dll)));
    forget_folder_drive(drive);
    EXPECT_EQ(0u, run.exit_code) << narrow(run.output);
    EXPECT_EQ("", as_list(with_verdict(run.output, L"FAIL"))) << narrow(run.output);
    const std::map<std::wstring, std::wstring> shown = verdicts(run.output);
    EXPECT_EQ(expected.round_trip, shown.count(L"round-trip-keys") ? shown.at(L"round-trip-keys") : L"")
        << narrow(run.output);
    EXPECT_EQ(expected.round_trip, shown.count(L"round-trip-passwords") ? shown.at(L"round-trip-passwords") : L"")
        << narrow(run.output);
  }
}

TEST(provider_check, wrong_usage_and_unusable_dlls_exit_2_with_a_reason) {
  const kv::test::fresh_folder full(L"kv-check-full-");
  CloseHandle(CreateFileW((full.path() + L"\\something").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring broken = quoted(beside_program(L"broken_provider.dll"));
  struct row {
    const char* name;
    std::wstring arguments;
    const wchar_t* fault;
    const wchar_t* reason;
  };
  const row rows[] = {
      {"unknown option", L"--verbose " + broken, nullptr, L"unknown option --verbose"},
      {"timeout of 0", L"--timeout 0 " + broken, nullptr, L"--timeout takes whole seconds"},
      {"scratch without a folder", broken + L" --scratch", nullptr, L"--scratch needs a value"},
      {"two providers", broken + L" " + broken, nullptr, L"only one provider DLL"},
      {"missing DLL", quoted(full.path() + L"\\missing.dll"), nullptr, L"cannot load"},
      {"no COM server", quoted(std::wstring(system) + L"\\kernel32.dll"), nullptr, L"exports no DllGetClassObject"},
      {"no class object", broken, L"no such fault", L"is no keystore provider"},
      {"scratch not empty", L"--scratch " + quoted(full.path()) + L" " + broken, nullptr, L"is not empty"},
  };
  for (const row& expected : rows) {
    SCOPED_TRACE(expected.name);
    const checker_run run = run_checker(expected.arguments, expected.fault);
    EXPECT_EQ(2u, run.exit_code) << narrow(run.output);
    EXPECT_NE(std::wstring::npos, run.output.find(expected.reason)) << narrow(run.output);
    EXPECT_EQ(std::wstring::npos, run.output.find(L" passed, ")) << narrow(run.output);
  }
}

// Without a path the checker loads the registered provider (per machine here: Wine activates
// nothing else, and HKEY_CLASSES_ROOT shows it).
TEST(provider_check, without_a_path_checks_the_registered_provider) {
  constexpr wchar_t key_path[] = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}\\InprocServer32";
  wchar_t saved[MAX_PATH * 2] = {};
  DWORD saved_bytes = sizeof saved;
  const bool had = RegGetValueW(HKEY_LOCAL_MACHINE, key_path, nullptr, RRF_RT_REG_SZ, nullptr, saved, &saved_bytes) ==
                   ERROR_SUCCESS;
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_path, nullptr);

  const checker_run unregistered = run_checker(L"");
  EXPECT_EQ(2u, unregistered.exit_code) << narrow(unregistered.output);
  EXPECT_NE(std::wstring::npos, unregistered.output.find(L"no keystore provider is registered"))
      << narrow(unregistered.output);

  const std::wstring sample = beside_program(L"dodadev_sample_provider.dll");
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_path, nullptr, REG_SZ, sample.c_str(),
                  static_cast<DWORD>((sample.size() + 1) * sizeof(wchar_t)));
  const checker_run registered = run_checker(L"");
  EXPECT_EQ(0u, registered.exit_code) << narrow(registered.output);
  EXPECT_NE(std::wstring::npos, registered.output.find(L"Provider: " + sample + L"\n")) << narrow(registered.output);

  if (had) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_path, nullptr, REG_SZ, saved, saved_bytes);
  } else {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key_path, nullptr);
  }
}

}  // namespace
