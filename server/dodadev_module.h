#pragma once
// CDoDadevModule: the server's process-wide state, its class-object table, registration and the
// steps around the message loop. One global instance lives in the program; tests build their own
// with their own table.
#include <windows.h>
#include <objbase.h>
#include <objidl.h>

#include <atomic>
#include <cstddef>

#include "server/command_line.h"
#include "server/registrar.h"
#include "win/owners.h"

namespace kv {

// Makes the objects of one class: alone (outer null) or aggregated. The shape of
// kv::create_lu_proxy_disp.
using object_creator = HRESULT (*)(IUnknown* outer, REFIID riid, void** object);

// One class the server makes available.
struct class_object_entry {
  const CLSID* clsid;
  int registry_script;     // REGISTRY resource with the class script
  object_creator creator;  // what the class factory's CreateInstance calls
  com_ptr<IUnknown> factory;  // cached class factory; null until first asked for
  DWORD cookie;            // from CoRegisterClassObject; 0 while not registered
};

// The COM calls that make the registered class objects visible and take them back; a test
// replaces them to see their failures handled.
struct class_object_calls {
  HRESULT(STDAPICALLTYPE* resume)() = CoResumeClassObjects;
  HRESULT(STDAPICALLTYPE* revoke)(DWORD cookie) = CoRevokeClassObject;
};

// The replacement table of one script run: Module, Module_Raw and the common ones.
struct module_replacements {
  static constexpr std::size_t capacity = 4;
  registrar_replacement items[capacity] = {};
  std::size_t count = 0;
  wchar_t path[MAX_PATH] = {};               // the executable's path
  wchar_t quoted[MAX_PATH + 2] = {};         // Module: the path in double quotes
  wchar_t doubled[2 * MAX_PATH] = {};        // Module_Raw: single quotes doubled
  wchar_t app_id[39] = {};
  // Appends one; false when the table is full.
  bool add(const wchar_t* name, const wchar_t* value) noexcept;
};

}  // namespace kv

class CDoDadevModule {
 public:
  // Installs the server hooks of the call path and takes the module's own server reference,
  // which is never given back, so the last client leaving never ends the process.
  // `instance` holds the REGISTRY and TYPELIB resources (null: the program itself).
  CDoDadevModule(kv::class_object_entry* table, std::size_t count, HMODULE instance = nullptr) noexcept;
  CDoDadevModule(const CDoDadevModule&) = delete;
  CDoDadevModule& operator=(const CDoDadevModule&) = delete;
  // Restores the default hooks and drops the cached class factories.
  virtual ~CDoDadevModule();

  // CoAddRefServerProcess / CoReleaseServerProcess; each answers the new count.
  virtual LONG Lock();
  virtual LONG Unlock();
  // The count that the last Lock or Unlock answered.
  virtual LONG lock_count() const;
  // A new reference to the process's global interface table.
  virtual HRESULT global_interface_table(IGlobalInterfaceTable** table);
  // Adds APPID, the server's AppID in braces.
  virtual HRESULT add_common_replacements(kv::module_replacements& replacements);
  // Records the main thread, registers and resumes the class objects, sets the error mode.
  // S_OK when serving, S_FALSE for an empty table, else the failure (nothing stays registered).
  virtual HRESULT PreMessageLoop(int show);

  // GetMessageW / TranslateMessage / DispatchMessageW until WM_QUIT or a GetMessageW failure.
  void RunMessageLoop();
  // Revokes the class objects; S_OK or the first revoke failure.
  HRESULT PostMessageLoop();

  // Carries out a registration switch and answers its HRESULT.
  HRESULT run_switch(kv::server_switch which);
  // Registration of the AppID, the classes and the type library (machine, or with per_user the
  // current user). Unregistration removes them in the opposite order.
  HRESULT register_server(bool per_user);
  HRESULT unregister_server(bool per_user);
  // One REGISTRY resource run through the interpreter with the module's replacements.
  HRESULT run_script(int resource, kv::registrar_mode mode);
  // The replacement table for this module's executable; 0x8007007A when its path does not fit
  // in MAX_PATH characters.
  HRESULT make_replacements(kv::module_replacements& replacements);

  // The entry's class factory, created on first use and cached, as `riid`.
  HRESULT class_object(kv::class_object_entry& entry, REFIID riid, void** object);

  bool init_failed() const noexcept { return init_failed_; }
  bool com_initialized = false;
  kv::class_object_calls class_calls;
  HMODULE instance() const noexcept { return instance_; }

  // The module lock: guards the one-time loading of the call path's type information.
  void enter_module_lock() noexcept;
  void leave_module_lock() noexcept;

 private:
  void revoke_class_objects(HRESULT* first_failure);

  kv::class_object_entry* table_;
  std::size_t count_;
  HMODULE instance_;
  CRITICAL_SECTION module_lock_;
  bool init_failed_ = false;
  bool per_user_ = false;
  std::atomic<LONG> lock_count_{0};
};

namespace kv {
// The server's AppID.
inline constexpr GUID app_id_dodadev = {0xC6971B38, 0x4C39, 0x4685, {0x86, 0xCE, 0xF2, 0x10, 0x38, 0x1E, 0x31, 0x37}};
// REGISTRY resources of the executable.
inline constexpr int app_id_script = 101;
inline constexpr int class_script = 102;
}  // namespace kv
