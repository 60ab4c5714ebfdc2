// The sweep: every operation made once with ordinary inputs and once with edge ones (missing,
// relative, non-ASCII and very long places, unknown key ids), each call judged by the contract
// rules as it returns.
#include "checker/operation_sweep.h"

#include <string>
#include <vector>

#include "checker/contract_rules.h"
#include "checker/operations.h"

namespace kv::check {

namespace {

// A key id that nothing holds, and the all-zero id the server passes for a malformed one.
constexpr GUID unknown_key = {0x5D2C7A11, 0x3E90, 0x4F6B, {0x8C, 0x12, 0xA4, 0x5B, 0x6E, 0x01, 0xD3, 0x97}};
constexpr GUID zero_key = {};

// Where the sweep's drive texts point: ordinary places and edge ones.
struct sweep_places {
  std::wstring root;
  std::wstring empty_folder;
  std::wstring missing;
  std::wstring missing_file;
  std::wstring non_ascii;
  std::wstring very_long;
  std::wstring relative;
  std::wstring export_file;
};

// The places in `work_folder` (its empty folder made here), and the root of its volume.
sweep_places places_in(const std::wstring& work_folder) {
  sweep_places at;
  wchar_t root[MAX_PATH] = {};
  if (!GetVolumePathNameW(work_folder.c_str(), root, MAX_PATH)) lstrcpynW(root, L"C:\\", MAX_PATH);
  at.root = root;
  at.empty_folder = work_folder + L"\\empty folder";
  CreateDirectoryW(at.empty_folder.c_str(), nullptr);
  at.missing = work_folder + L"\\no such folder";
  at.missing_file = work_folder + L"\\no such file";
  // Non-ASCII, a character outside the basic plane among them; nothing XML would refuse, so that
  // what a provider answers with it is the provider's own.
  at.non_ascii = work_folder + L"\\\u00DCn\u00EFc\u00F8d\u00E9 \u9375 \U0001F511";
  at.very_long = work_folder + L"\\" + std::wstring(40000, L'x');
  at.relative = L"relative folder";
  at.export_file = work_folder + L"\\export";
  return at;
}

// GetDrives with edge flags, and the drive queries on every place.
std::vector<call_spec> drive_queries(const sweep_places& at) {
  std::vector<call_spec> calls = {
      get_drives(0, 0),
      get_drives(1, 0),
      get_drives(0, 0xFFFFFFFFu),
      get_drives(1, 1u << DRIVE_FIXED),
  };
  for (const std::wstring& drive : {at.root, at.empty_folder, at.missing, std::wstring(), at.relative, at.very_long,
                                    at.non_ascii}) {
    calls.push_back(get_type(drive));
    calls.push_back(get_folder(drive));
    calls.push_back(get_path(drive));
  }
  return calls;
}

// Every keystore and key operation, with ordinary and edge inputs.
std::vector<call_spec> keystore_operations(const sweep_places& at) {
  const std::wstring password = L"Checker password 1";
  return {
      locate_key(zero_key),
      locate_key(unknown_key),
      create_pwd(at.missing, password),
      create_pwd(L"", password),
      create_pwd(at.very_long, password),
      create_pwd(at.missing, L""),
      create_cert(at.missing, true),
      create_cert(at.missing, false),
      create_cert(L"", true),
      create_key_cert(at.empty_folder, L"checker key", 0, 0),
      create_key_cert(at.missing, std::wstring(2000, L'k'), 0xFFFFFFFFu, 1),
      create_key(at.empty_folder, password, L"checker key", 30, 0),
      create_key(at.empty_folder, std::nullopt, L"checker key", 0xFFFFFFFFu, 1),
      create_key(at.missing, password, L"", 0, 0),
      create_key(L"", std::nullopt, L"\u00DCn\u00EFc\u00F8d\u00E9 \U0001F511", 0, 1),
      delete_key(at.empty_folder, unknown_key),
      delete_key(at.missing, zero_key),
      rename_key(at.empty_folder, unknown_key, L"new name"),
      rename_key(at.missing, zero_key, L""),
      export_key(at.empty_folder, unknown_key, at.export_file, password),
      export_key(at.missing, zero_key, L"", L""),
      import_cert(at.empty_folder, at.missing_file, true),
      import_cert(at.missing, L"", false),
      import_key(at.empty_folder, at.missing_file, std::nullopt),
      import_key(at.missing, L"", password),
      recover_cert(at.empty_folder, true),
      recover_cert(at.missing, false),
      recover_pwd(at.empty_folder, password),
      recover_pwd(at.missing, L""),
      change_token_cert(at.empty_folder, true),
      change_token_cert(at.missing, false),
      change_token_pwd(at.empty_folder, password),
      change_token_pwd(at.missing, L""),
      verify_pwd_history(at.empty_folder, password),
      verify_pwd_history(at.missing, L""),
      verify_last_pwd(at.empty_folder, password),
      verify_last_pwd(at.missing, L""),
  };
}

// Each call made and judged in turn, until the checker stops.
void make_each(operation_runner& runner, const std::vector<call_spec>& calls, report& results) {
  for (const call_spec& call : calls) {
    call_outcome outcome;
    if (!runner.run(call, outcome)) {
      results.cannot_check(rule::arguments_not_kept, L"the checker ran out of pages for arguments at " + describe(call));
      return;
    }
    judge_call(call, outcome, runner.time_limit_ms(), results);
    if (runner.stopped()) return;
  }
}

}  // namespace

void sweep_operations(operation_runner& runner, const std::wstring& work_folder, report& results) {
  const sweep_places places = places_in(work_folder);
  std::vector<call_spec> calls = drive_queries(places);
  const std::vector<call_spec> more = keystore_operations(places);
  calls.insert(calls.end(), more.begin(), more.end());
  make_each(runner, calls, results);
}

}  // namespace kv::check
