// DoDadev.exe: the COM local server of LU_proxy_disp.
#include <windows.h>

#include "proxy/dodadev_h.h"
#include "proxy/server_link.h"
#include "server/dodadev_module.h"
#include "server/server_entry.h"

namespace {

kv::class_object_entry class_objects[] = {
    {&CLSID_LU_proxy_disp, kv::class_script, kv::create_lu_proxy_disp, nullptr, 0},
};

// Built before wWinMain runs: takes the server reference that keeps the process alive.
CDoDadevModule module(class_objects, sizeof class_objects / sizeof class_objects[0]);

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show) {
  wchar_t program[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  return kv::server_entry(module, GetCommandLineW(), length && length < MAX_PATH ? program : nullptr, show);
}
