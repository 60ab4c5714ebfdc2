// DoDadev.exe out of process, in one run:
// - calls per second of call_function for a typical request (keystore_create_key_pwd with five
//   parameters, recording provider without a record file) against bench_baseline_server.exe,
//   built the same way, whose method only creates and releases the same provider;
// - the time from the first activation to the first answer (COM starts the server);
// - the server's private (commit) bytes and working set after 1,000 and after 100,000 calls on
//   one object;
// - separately, what creating and releasing objects through the dual interface costs the server
//   process under the platform's COM (about 2 KiB per object under Wine 8, against either
//   server), through one class factory.
// Prints figures; asserts nothing.
//   bench_server [--calls N] [--rounds N] [--memory-calls N] [--objects N] [--baseline-objects N]
//   (defaults: 10 rounds of 1,000 calls, 100,000 calls for memory, 100,000 objects on DoDadev.exe
//   and 10,000 on the baseline, which only shows that the cost per object is the platform's)
//
// Registers, in the Wine prefix it runs in, DoDadev.exe (/RegServer), the baseline class and
// recording_provider.dll, all beside the program, and removes them again at the end.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_baseline.h"
#include "bench/bench_support.h"
#include "proxy/dodadev_h.h"
#include "tests/support/process_start.h"
#include "tests/support/unique_module.h"
#include "win/call_text_bstr.h"
#include "win/owners.h"

namespace {

constexpr wchar_t provider_script_key[] = L"Software\\DoDadevTests\\RecordingProvider";

using kv::bench::beside_program;
using kv::bench::now_ms;

// The program's exit code; a start that fails is described on stderr and answers 0xFFFFFFFE.
DWORD run_to_end(const std::wstring& program, const std::wstring& arguments) {
  PROCESS_INFORMATION info;
  std::string failure;
  if (!kv::test::start_process(program, L"\"" + program + L"\" " + arguments, nullptr, info, failure)) {
    std::fprintf(stderr, "%s\n", failure.c_str());
    return static_cast<DWORD>(-2);
  }
  const kv::unique_handle process(info.hProcess);
  WaitForSingleObject(process.get(), 60000);
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

// The newest process running `image` (the one COM just started for us).
DWORD find_process(const wchar_t* image) {
  DWORD found = 0;
  const kv::unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, image, -1, TRUE) == CSTR_EQUAL) found = entry.th32ProcessID;
  }
  return found;
}

// The process's first thread: the one created earliest.
DWORD main_thread_of(DWORD pid) {
  DWORD found = 0;
  ULONGLONG earliest = ~0ull;
  const kv::unique_file snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    const kv::unique_handle thread(OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
    FILETIME created = {}, exited = {}, kernel = {}, user = {};
    ULONGLONG when = ~0ull - 1;
    if (thread && GetThreadTimes(thread.get(), &created, &exited, &kernel, &user)) {
      when = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    }
    if (!found || when < earliest) {
      found = entry.th32ThreadID;
      earliest = when;
    }
  }
  return found;
}

struct memory {
  SIZE_T private_bytes = 0;
  SIZE_T working_set = 0;
};

// Private bytes are the commit charge; Wine leaves PrivateUsage at 0 and fills PagefileUsage,
// which Windows reports as the same figure.
memory memory_of(HANDLE process) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof counters;
  memory result;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
    result.private_bytes = std::max(counters.PrivateUsage, counters.PagefileUsage);
    result.working_set = counters.WorkingSetSize;
  }
  return result;
}

double kib(SIZE_T bytes) { return static_cast<double>(bytes) / 1024.0; }
double kib_delta(SIZE_T after, SIZE_T before) {
  return (static_cast<double>(after) - static_cast<double>(before)) / 1024.0;
}

// A server that COM started, found by its image name, ended by WM_QUIT to its first thread.
class started_server {
 public:
  started_server(const CLSID& clsid, const wchar_t* image) : clsid_(clsid), image_(image) {}
  started_server(const started_server&) = delete;
  started_server& operator=(const started_server&) = delete;
  ~started_server() { end(); }

  HRESULT create(LU_proxy_disp_i** object) {
    const HRESULT hr = CoCreateInstance(clsid_, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i,
                                        reinterpret_cast<void**>(object));
    if (SUCCEEDED(hr) && !process_) {
      pid_ = find_process(image_);
      if (pid_) {
        process_.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                                   FALSE, pid_));
      }
    }
    return hr;
  }
  HANDLE process() const { return process_.get(); }
  void end() {
    if (!process_) return;
    const DWORD thread = main_thread_of(pid_);
    if (!(thread && PostThreadMessageW(thread, WM_QUIT, 0, 0) && WaitForSingleObject(process_.get(), 10000) == 0)) {
      TerminateProcess(process_.get(), 1);
      WaitForSingleObject(process_.get(), 10000);
    }
    process_.reset();
  }

 private:
  CLSID clsid_;
  const wchar_t* image_;
  DWORD pid_ = 0;
  kv::unique_handle process_;
};

using object_ref = kv::com_ptr<LU_proxy_disp_i>;

// `count` calls; the calls per second, or 0 when any call did not succeed.
double calls_per_second(LU_proxy_disp_i* object, BSTR arg, int count) {
  const double start = now_ms();
  for (int i = 0; i < count; ++i) {
    kv::unique_bstr ret;
    LONG ret_code = -1;
    const HRESULT hr = object->call_function(arg, ret.put(), &ret_code);
    if (hr != S_OK || ret_code != 0) {
      std::printf("  call %d failed: 0x%08lx, ret_code 0x%08lx\n", i, static_cast<unsigned long>(hr),
                  static_cast<unsigned long>(ret_code));
      return 0;
    }
  }
  return count / ((now_ms() - start) / 1000.0);
}

int option(int argc, wchar_t** argv, const wchar_t* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wstring(argv[i]) == name) return std::max(1, _wtoi(argv[i + 1]));
  }
  return fallback;
}

struct registration {
  kv::test::unique_module provider;
  HRESULT(STDAPICALLTYPE* provider_unregister)() = nullptr;

  bool install() {
    if (run_to_end(beside_program(L"DoDadev.exe"), L"/RegServer") != 0) {
      std::printf("DoDadev.exe /RegServer failed\n");
      return false;
    }
    const std::wstring baseline = L"\"" + beside_program(L"bench_baseline_server.exe") + L"\"";
    const std::wstring server_key = std::wstring(kv::bench::baseline_class_key) + L"\\LocalServer32";
    if (RegSetKeyValueW(HKEY_LOCAL_MACHINE, server_key.c_str(), nullptr, REG_SZ, baseline.c_str(),
                        static_cast<DWORD>((baseline.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
      std::printf("cannot register the baseline class\n");
      return false;
    }
    provider.reset(LoadLibraryW(beside_program(L"recording_provider.dll").c_str()));
    using entry = HRESULT(STDAPICALLTYPE*)();
    const HMODULE dll = provider.get();
    auto provider_register =
        dll ? reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer"))) : nullptr;
    provider_unregister =
        dll ? reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer"))) : nullptr;
    if (!provider_register || provider_register() != S_OK) {
      std::printf("cannot register recording_provider.dll\n");
      return false;
    }
    // No script: every operation answers S_OK, and no record file is written.
    RegDeleteTreeW(HKEY_CURRENT_USER, provider_script_key);
    return true;
  }
  ~registration() {
    if (provider_unregister) provider_unregister();
    provider.reset();
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kv::bench::baseline_class_key);
    run_to_end(beside_program(L"DoDadev.exe"), L"/UnregServer");
  }
};

// Creates and releases `count` objects through one class factory; the server's private bytes per
// object and the time.
void object_churn(const char* name, started_server& server, const CLSID& clsid, int count) {
  object_ref keep;  // one object keeps the server up between the others
  if (FAILED(server.create(keep.put())) || !server.process()) {
    std::printf("  %s: no server\n", name);
    return;
  }
  kv::com_ptr<IClassFactory> factory;
  if (FAILED(CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, factory.put_void()))) {
    std::printf("  %s: no class factory\n", name);
    return;
  }
  Sleep(300);
  const memory before = memory_of(server.process());
  const double start = now_ms();
  int made = 0;
  for (; made < count; ++made) {
    object_ref object;
    if (FAILED(factory->CreateInstance(nullptr, IID_LU_proxy_disp_i, object.put_void()))) break;
  }
  const double elapsed = now_ms() - start;
  factory.reset();
  Sleep(300);
  const memory after = memory_of(server.process());
  if (made < count) std::printf("  %s: creation %d failed\n", name, made);
  if (made == 0) return;
  std::printf("  %-12s %7d objects in %8.0f ms (%7.1f us each); private bytes %+10.1f KiB (%5.2f KiB per object), "
              "working set %+10.1f KiB\n",
              name, made, elapsed, elapsed * 1000.0 / made, kib_delta(after.private_bytes, before.private_bytes),
              kib_delta(after.private_bytes, before.private_bytes) / made,
              kib_delta(after.working_set, before.working_set));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int calls = option(argc, argv, L"--calls", 1000);
  const int rounds = option(argc, argv, L"--rounds", 10);
  const int memory_calls = option(argc, argv, L"--memory-calls", 100000);
  const int objects = option(argc, argv, L"--objects", 100000);
  const int baseline_objects = option(argc, argv, L"--baseline-objects", 10000);

  const kv::com_apartment com;
  if (FAILED(com.result())) return 1;
  int result = 0;
  {
    registration installed;
    if (!installed.install()) {
      result = 1;
    } else {
      const wchar_t request[] =
          L"<?xml version=\"1.0\"?><function name=\"keystore_create_key_pwd\">"
          L"<parameter name=\"drive\">C:\\</parameter><parameter name=\"password\">Secret-Pass-123</parameter>"
          L"<parameter name=\"name\">bench key</parameter><parameter name=\"timeout\">30</parameter>"
          L"<parameter name=\"def_local_key\">false</parameter></function>";
      kv::unique_bstr arg;
      encode_call_text(request, arg.put());
      kv::unique_bstr bare_arg;
      encode_call_text(L"<?xml version=\"1.0\"?><function name=\"get_version\"/>", bare_arg.put());

      started_server dodadev(CLSID_LU_proxy_disp, L"DoDadev.exe");
      started_server baseline(kv::bench::clsid_baseline, L"bench_baseline_server.exe");

      std::printf("first activation to first answer (COM starts the server):\n");
      object_ref dodadev_object, baseline_object;
      for (int which = 0; which < 2; ++which) {
        started_server& server = which == 0 ? dodadev : baseline;
        object_ref& object = which == 0 ? dodadev_object : baseline_object;
        const double start = now_ms();
        const HRESULT hr = server.create(object.put());
        kv::unique_bstr ret;
        LONG ret_code = -1;
        const HRESULT called = SUCCEEDED(hr) ? object->call_function(arg.get(), ret.put(), &ret_code) : hr;
        std::printf("  %-26s %8.1f ms (creation 0x%08lx, call 0x%08lx, ret_code 0x%08lx)\n",
                    which == 0 ? "DoDadev.exe" : "bench_baseline_server.exe", now_ms() - start,
                    static_cast<unsigned long>(hr), static_cast<unsigned long>(called),
                    static_cast<unsigned long>(ret_code));
        if (FAILED(hr)) result = 1;
      }

      if (result == 0) {
        calls_per_second(dodadev_object.get(), arg.get(), 200);
        calls_per_second(baseline_object.get(), arg.get(), 200);
        // Short rounds, alternating between the two servers, so that load from elsewhere on the
        // machine falls on both alike.
        std::printf("calls per second, keystore_create_key_pwd, %d rounds of %d calls on each server:\n", rounds,
                    calls);
        std::vector<double> dodadev_rates, baseline_rates, ratios;
        for (int round = 0; round < rounds; ++round) {
          dodadev_rates.push_back(calls_per_second(dodadev_object.get(), arg.get(), calls));
          baseline_rates.push_back(calls_per_second(baseline_object.get(), arg.get(), calls));
          ratios.push_back(dodadev_rates.back() / baseline_rates.back());
        }
        // The same server with a request that performs nothing: the call path without a provider.
        std::vector<double> bare_rates;
        for (int round = 0; round < rounds; ++round) {
          bare_rates.push_back(calls_per_second(dodadev_object.get(), bare_arg.get(), calls));
        }
        const double best_bare = *std::max_element(bare_rates.begin(), bare_rates.end());
        const double best_dodadev = *std::max_element(dodadev_rates.begin(), dodadev_rates.end());
        const double best_baseline = *std::max_element(baseline_rates.begin(), baseline_rates.end());
        std::printf("  %-26s best %8.0f calls/s (%7.1f us per call), median %8.0f calls/s\n", "DoDadev.exe",
                    best_dodadev, 1e6 / best_dodadev, median(dodadev_rates));
        std::printf("  %-26s best %8.0f calls/s (%7.1f us per call), median %8.0f calls/s\n",
                    "baseline (provider only)", best_baseline, 1e6 / best_baseline, median(baseline_rates));
        std::printf("  %-26s best %8.0f calls/s (%7.1f us per call), median %8.0f calls/s\n",
                    "DoDadev.exe, get_version", best_bare, 1e6 / best_bare, median(bare_rates));
        std::printf("  DoDadev.exe / baseline: best %.1f %%, median of the rounds %.1f %% (goal: at least 95 %%)\n",
                    100.0 * best_dodadev / best_baseline, 100.0 * median(ratios));

        std::printf("DoDadev.exe memory on one object:\n");
        object_ref one;
        dodadev.create(one.put());
        calls_per_second(one.get(), arg.get(), 1000);
        Sleep(300);
        const memory at_1000 = memory_of(dodadev.process());
        calls_per_second(one.get(), arg.get(), std::max(0, memory_calls - 1000));
        Sleep(300);
        const memory at_end = memory_of(dodadev.process());
        std::printf("  after %6d calls: private bytes %10.1f KiB, working set %10.1f KiB\n", 1000,
                    kib(at_1000.private_bytes), kib(at_1000.working_set));
        std::printf("  after %6d calls: private bytes %10.1f KiB, working set %10.1f KiB\n", memory_calls,
                    kib(at_end.private_bytes), kib(at_end.working_set));
        std::printf("  growth: private bytes %+.1f KiB, working set %+.1f KiB (goal: under 256 KiB)\n",
                    kib_delta(at_end.private_bytes, at_1000.private_bytes),
                    kib_delta(at_end.working_set, at_1000.working_set));

        std::printf("creating and releasing objects through IID_LU_proxy_disp_i (the platform's COM cost):\n");
        object_churn("DoDadev.exe", dodadev, CLSID_LU_proxy_disp, objects);
        object_churn("baseline", baseline, kv::bench::clsid_baseline, baseline_objects);
      }
      dodadev_object.reset();
      baseline_object.reset();
    }
  }
  return result;
}
