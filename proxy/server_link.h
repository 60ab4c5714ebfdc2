#pragma once
// What the server host and the call path give each other. The host fills these in at start-up;
// tests use the defaults or their own.
#include <windows.h>

namespace kv {

// The module's server lock: every living LU_proxy_disp object holds one (Lock on creation,
// Unlock on destruction). The defaults do nothing, for in-process tests.
struct server_hooks {
  LONG (*lock)();
  LONG (*unlock)();
  // The module lock under which the type information is loaded once.
  void (*enter_module_lock)();
  void (*leave_module_lock)();
};
// Installs the host's hooks; null members fall back to the defaults. Call before any object exists.
void set_server_hooks(const server_hooks& hooks) noexcept;

// The main thread identifier: written once before the class object becomes visible, read by
// every call_function.
void set_main_thread_id(DWORD thread_id) noexcept;
DWORD main_thread_id() noexcept;

// Creates an LU_proxy_disp object, alone (outer null) or as the inner object of an aggregate
// (outer non-null).
// *object receives the interface asked for, or null on failure (E_OUTOFMEMORY, E_NOINTERFACE,
// CLASS_E_NOAGGREGATION when an aggregate asks for anything but IUnknown, E_POINTER).
HRESULT create_lu_proxy_disp(IUnknown* outer, REFIID riid, void** object) noexcept;

}  // namespace kv
