// Operations per second of the file keystore provider: create, locate and delete of keys in a
// keystore of 10, 1,000 and 10,000 keys on a folder drive in the temporary folder. Each operation
// goes through a fresh provider object, as the server makes one per command; keys are created
// without a password (the custodian path), so PBKDF2 is paid once per keystore, not per key.
// Prints figures; asserts nothing.
//   bench_provider [SIZE ...]      default: 10 1000 10000
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "provider/provider_object.h"
#include "tests/support/fresh_folder.h"
#include "types/kv_guid.h"
#include "win/owners.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A new provider; the benchmark ends when none can be made.
kv::com_ptr<IKeystoreProvider> new_provider(const kv::provider::settings& config) {
  kv::com_ptr<IKeystoreProvider> provider;
  if (FAILED(kv::provider::make_keystore_provider(config, IID_IKeystoreProvider, provider.put_void()))) {
    std::fprintf(stderr, "bench_provider: cannot make a provider\n");
    std::exit(1);
  }
  return provider;
}

void check(HRESULT hr, const char* what) {
  if (FAILED(hr)) {
    std::fprintf(stderr, "bench_provider: %s failed with 0x%08lx\n", what, static_cast<unsigned long>(hr));
    std::exit(1);
  }
}

// The names in a folder that match a pattern: files, or with `folders` subfolders.
std::vector<std::wstring> names_in(const std::wstring& pattern, bool folders) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  const kv::unique_find search(FindFirstFileW(pattern.c_str(), &found));
  if (!search) return names;
  do {
    if (((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folders && found.cFileName[0] != L'.')
      names.push_back(found.cFileName);
  } while (FindNextFileW(search.get(), &found));
  return names;
}

// The ids of the keys in a keystore, from the names of its id links ("ids\\XX\\{GUID}.luid", or
// "ids\\{GUID}.luid" as earlier versions wrote them).
std::vector<GUID> key_ids(const std::wstring& keystore) {
  std::vector<std::wstring> folders{L"ids"};
  for (const std::wstring& shard : names_in(keystore + L"\\ids\\??", true)) folders.push_back(L"ids\\" + shard);
  std::vector<GUID> ids;
  for (const std::wstring& folder : folders)
    for (const std::wstring& name : names_in(keystore + L"\\" + folder + L"\\*.luid", false))
      if (name.size() == 43) ids.push_back(KV_guid(name.substr(0, 38).c_str()));
  return ids;
}

double per_second(std::size_t count, clock_type::duration spent) {
  const double seconds = std::chrono::duration<double>(spent).count();
  return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

void run(std::size_t keys, const kv::provider::settings& config, const std::wstring& drive) {
  kv::test::remove_tree(drive);
  CreateDirectoryW(drive.c_str(), nullptr);
  check(new_provider(config)->CreatePwd(drive.c_str(), L"benchmark password"), "CreatePwd");

  auto start = clock_type::now();
  for (std::size_t i = 0; i < keys; ++i) {
    const std::wstring name = L"key " + std::to_wstring(i);
    check(new_provider(config)->CreateKey(drive.c_str(), nullptr, name.c_str(), 3600, 0), "CreateKey");
  }
  const auto create_time = clock_type::now() - start;

  const std::vector<GUID> ids = key_ids(drive + L"\\DoDadev Keystore");
  if (ids.size() != keys) check(E_FAIL, "counting the keys");
  // Every key is located at least once, and at least 1,000 searches are timed, so that small
  // keystores are not measured by a handful of calls.
  const std::size_t searches = keys < 1000 ? 1000 : keys;
  start = clock_type::now();
  for (std::size_t i = 0; i < searches; ++i) {
    kv::unique_bstr found;
    check(new_provider(config)->LocateKey(&ids[i % ids.size()], found.put()), "LocateKey");
    if (!found || SysStringLen(found.get()) < 3) check(E_FAIL, "finding a key");
  }
  const auto locate_time = clock_type::now() - start;

  start = clock_type::now();
  for (const GUID& id : ids) check(new_provider(config)->DeleteKey(drive.c_str(), &id), "DeleteKey");
  const auto delete_time = clock_type::now() - start;

  std::printf("%8zu %12.0f %12.0f %12.0f\n", keys, per_second(keys, create_time), per_second(searches, locate_time),
              per_second(keys, delete_time));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<std::size_t>(std::strtoul(argv[i], nullptr, 10)));
  if (sizes.empty()) sizes = {10, 1000, 10000};

  // Settings of its own: a low work factor for the one CreatePwd per size (keys are created
  // without a password, so the factor does not enter the figures), and a folder-drive list that
  // holds only the benchmark's folder. The real volume roots are searched.
  const std::wstring key = L"Software\\DoDadev\\ProviderBench-" + std::to_wstring(GetCurrentProcessId());
  kv::provider::settings config;
  config.registry_key = key.c_str();
  config.work_factor = 1000;

  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring drive = std::wstring(temp) + L"kv-bench-provider-" + std::to_wstring(GetCurrentProcessId());

  std::printf("file keystore provider, operations per second (one provider object per operation)\n");
  std::printf("%8s %12s %12s %12s\n", "keys", "create/s", "locate/s", "delete/s");
  for (std::size_t keys : sizes) run(keys, config, drive);

  kv::test::remove_tree(drive);
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  return 0;
}
