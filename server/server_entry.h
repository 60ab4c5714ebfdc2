#pragma once
// The run of the server process, from the fail-safe boot test to the exit code. wWinMain only
// hands its module and command line to server_entry.
#include <windows.h>

#include "server/dodadev_module.h"

namespace kv {

// The name of the single-instance mutex, in the session-local namespace.
inline constexpr wchar_t instance_mutex_name[] = L"{E68C32B2-35E2-4128-B9AB-29A2D25271F1}";

// GetSystemMetrics(SM_CLEANBOOT): 0 normal boot, 1 fail-safe boot, 2 fail-safe boot with network.
int clean_boot_state() noexcept;

// What a test replaces.
struct server_environment {
  int (*clean_boot_probe)() = clean_boot_state;
  const wchar_t* instance_mutex = instance_mutex_name;
};

// Exit codes: 0 in fail-safe boot (probe answers 1) and when another instance holds the mutex
// (unless the command line holds a registration switch, which is carried out all the same);
// -1 when the module failed to initialise; CoInitialize's failure; a registration switch's
// HRESULT; PreMessageLoop's failure; otherwise the result of revoking the class objects after the
// message loop, 0 in the normal case. `program_path` (may be null) is the executable's path, which
// is never searched for switches.
int server_entry(CDoDadevModule& module, const wchar_t* command_line, const wchar_t* program_path, int show,
                 const server_environment& environment = {});

}  // namespace kv
