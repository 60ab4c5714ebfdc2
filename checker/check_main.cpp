// dodadev-provider-check: loads a keystore provider DLL into this process and reports, rule by
// rule, whether it keeps the contract of include/dodadev/keystore_provider.h.
#include <windows.h>

#include <memory>
#include <string>

#include "checker/argument_pages.h"
#include "checker/certificates.h"
#include "checker/contract_rules.h"
#include "checker/isolation.h"
#include "checker/operation_runner.h"
#include "checker/operation_sweep.h"
#include "checker/options.h"
#include "checker/provider_module.h"
#include "checker/report.h"
#include "checker/round_trip.h"
#include "win/owners.h"

namespace {

using namespace kv::check;

enum exit_code { exit_passed = 0, exit_failed = 1, exit_usage = 2, exit_setup = 3 };

int usage_error(const std::wstring& problem) {
  write_error(L"dodadev-provider-check: " + problem + L" (see dodadev-provider-check --help)\n");
  return exit_usage;
}

// A DLL that cannot be loaded or serves no keystore provider: no report, the same exit code.
int unusable_provider(const std::wstring& problem) {
  write_error(L"dodadev-provider-check: " + problem + L"\n");
  return exit_usage;
}

std::wstring full_path(const std::wstring& path) {
  const DWORD units = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (!units) return {};
  std::wstring full(units, L'\0');
  if (GetFullPathNameW(path.c_str(), units, full.data(), nullptr) >= units) return {};
  full.resize(full.find(L'\0'));
  return full;
}

bool folder_is_empty(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const std::wstring pattern = folder + (folder.back() == L'\\' ? L"*" : L"\\*");
  kv::unique_find search(FindFirstFileW(pattern.c_str(), &found));
  if (!search) return true;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") return false;
  } while (FindNextFileW(search.get(), &found));
  return true;
}

// The scratch folder as the drive text of the round trip: its full path, made when missing,
// without a trailing backslash unless it is a volume root. Empty with `problem` when unusable.
std::wstring scratch_drive(const std::wstring& given, std::wstring& problem) {
  std::wstring drive = full_path(given);
  if (drive.empty()) {
    problem = L"cannot use the scratch folder " + given;
    return {};
  }
  while (drive.size() > 3 && drive.back() == L'\\') drive.pop_back();
  if (GetFileAttributesW(drive.c_str()) == INVALID_FILE_ATTRIBUTES && !CreateDirectoryW(drive.c_str(), nullptr)) {
    problem = L"cannot make the scratch folder " + drive + L": " + describe_hresult(HRESULT_FROM_WIN32(GetLastError()));
    return {};
  }
  const DWORD attributes = GetFileAttributesW(drive.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    problem = L"the scratch folder " + drive + L" is no folder";
    return {};
  }
  if (!folder_is_empty(drive)) {
    problem = L"the scratch folder " + drive + L" is not empty; the round trip writes a keystore there";
    return {};
  }
  return drive;
}

void remove_tree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  kv::unique_find search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        remove_tree(path);
      } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(search.get(), &found));
  }
  search.reset();
  RemoveDirectoryW(folder.c_str());
}

// The checker's own folder under the temporary folder, and its current folder while it lives,
// so that a relative or empty drive text lands there too. Removed with what is in it.
class work_folder {
 public:
  work_folder() {
    wchar_t temp[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH + 1, temp)) return;
    const std::wstring path = std::wstring(temp) + L"dodadev-provider-check-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount64());
    if (!CreateDirectoryW(path.c_str(), nullptr)) return;
    path_ = full_path(path);
    wchar_t current[MAX_PATH + 1] = {};
    if (GetCurrentDirectoryW(MAX_PATH + 1, current)) previous_ = current;
    SetCurrentDirectoryW(path_.c_str());
  }
  ~work_folder() {
    if (path_.empty()) return;
    if (!previous_.empty()) SetCurrentDirectoryW(previous_.c_str());
    remove_tree(path_);
  }
  work_folder(const work_folder&) = delete;
  work_folder& operator=(const work_folder&) = delete;

  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  std::wstring previous_;
};

int check(const options& chosen) {
  std::wstring problem;
  provider_module module;
  if (!module.load(chosen.provider, problem)) return unusable_provider(problem);
  std::wstring drive;
  if (!chosen.scratch.empty()) {
    drive = scratch_drive(chosen.scratch, problem);
    if (drive.empty()) return usage_error(problem);
  }

  const auto pages = std::make_unique<argument_pages>();
  isolation threads(chosen.time_limit_ms);
  const work_folder work;
  if (!pages->ready() || work.path().empty()) {
    write_error(L"dodadev-provider-check: cannot set up the pages for arguments or a temporary folder\n");
    return exit_setup;
  }

  report results;
  if (!check_class_object(module, threads, results, problem)) return unusable_provider(problem);
  const bool certificate_checks = system_reports_kept_contexts();
  if (!certificate_checks) {
    results.cannot_check(rule::certificate_freed,
                         L"this system's CertCloseStore does not say whether a certificate context outlives its "
                         L"store, so a kept duplicate cannot be seen");
  }
  operation_runner runner(module, threads, *pages, certificate_checks);
  // First, while no object of the checker's lives, so that DllCanUnloadNow can count them.
  const bool unload_counts_objects = check_object_lifetime(module, threads, results);
  check_class_factory(module, threads, results);
  check_query_interface(module, threads, results);
  sweep_operations(runner, work.path(), results);
  if (drive.empty()) {
    results.cannot_check(rule::round_trip_keys, L"no --scratch folder given");
    results.cannot_check(rule::round_trip_passwords, L"no --scratch folder given");
  } else if (!threads.stopped()) {
    keystore_round_trip(runner, drive, results);
  }
  judge_whole_run(runner, *pages, module, threads, unload_counts_objects, results);
  if (threads.stopped()) {
    for (int i = 0; i < rule_count; ++i) {
      results.cannot_check(static_cast<rule>(i), L"not reached: the checker stopped after an operation hung");
    }
  }
  results.cannot_check(rule::path_list, L"no GetDrives or LocateKey answered a list on success");
  results.cannot_check(rule::single_path, L"no GetFolder or GetPath answered a path on success");
  results.cannot_check(rule::xml_characters, L"no operation answered a text on success");

  write_output(chosen.json ? report_as_json(results, module.path(), chosen.time_limit_ms)
                           : report_as_text(results, module.path()));
  const int code = results.count(verdict::fail) > 0 ? exit_failed : exit_passed;
  // A hung thread of the provider is still in the process: unloading the DLL or ending the
  // process the ordinary way could wait for it.
  if (threads.stopped()) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // A crash or a missing dependency is reported in the report, not in a dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  options chosen;
  std::wstring problem;
  if (!parse_options(argc, argv, chosen, problem)) return usage_error(problem);
  if (chosen.help) {
    write_output(help_text());
    return exit_passed;
  }
  return check(chosen);
}
