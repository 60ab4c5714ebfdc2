#include "server/server_entry.h"

#include <commctrl.h>

#include <new>
#include <optional>

#include "server/command_line.h"
#include "trace/trace.h"
#include "win/kv_mutex.h"
#include "win/owners.h"

namespace kv {

int clean_boot_state() noexcept { return GetSystemMetrics(SM_CLEANBOOT); }

int server_entry(CDoDadevModule& module, const wchar_t* command_line, const wchar_t* program_path, int show,
                 const server_environment& environment) {
  int (*probe)() = environment.clean_boot_probe ? environment.clean_boot_probe : clean_boot_state;
  if (probe() == 1) {
    trace_line(L"wWinMain", 0, L"Exiting because of SafeMode!");
    return 0;
  }

  // The instance guard protects serving, not registering: a registration switch is carried out
  // whatever other instance runs, or an installer would be told "registered" when nothing was.
  const server_switch which = find_server_switch(command_line, program_path);

  // Any outcome but a timeout counts as no other instance: ownership, an abandoned mutex taken
  // over, a failed wait, or no mutex at all. The handle is closed on return, never released.
  std::optional<KV_mutex> instance;
  try {
    instance.emplace(environment.instance_mutex, 0, 0);
  } catch (const std::bad_alloc&) {
  }
  bool timed_out = false;
  if (instance) instance->wait(0, &timed_out);
  if (timed_out && which == server_switch::none) {
    trace_line(L"wWinMain", 0, L"Exiting because of other instance!");
    return 0;
  }

  trace_line(L"wWinMain", 0, L"Starting");
  InitCommonControls();
  if (module.init_failed()) return -1;

  const com_apartment com;
  HRESULT hr = com.result();
  if (SUCCEEDED(hr)) {
    module.com_initialized = true;
  } else if (hr != RPC_E_CHANGED_MODE || !GetModuleHandleW(L"Mscoree.dll")) {
    return hr;
  }

  if (which != server_switch::none) {
    hr = module.run_switch(which);
  } else {
    hr = module.PreMessageLoop(show);
    if (hr == S_OK) module.RunMessageLoop();
    if (SUCCEEDED(hr)) hr = module.PostMessageLoop();
  }

  module.com_initialized = false;  // `com` uninitialises on return
  return hr;
}

}  // namespace kv
