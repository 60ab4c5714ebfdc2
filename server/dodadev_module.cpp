#include "server/dodadev_module.h"

#include <new>

#include "proxy/server_link.h"
#include "server/class_factory.h"
#include "server/type_library.h"
#include "trace/trace.h"
#include "types/kv_alloc.h"
#include "win/kv_hresult.h"
#include "win/owners.h"

namespace {

// The module whose Lock/Unlock and module lock the call path's hooks reach.
CDoDadevModule* hooked_module = nullptr;

LONG hook_lock() { return hooked_module ? hooked_module->Lock() : 0; }
LONG hook_unlock() { return hooked_module ? hooked_module->Unlock() : 0; }
void hook_enter_module_lock() {
  if (hooked_module) hooked_module->enter_module_lock();
}
void hook_leave_module_lock() {
  if (hooked_module) hooked_module->leave_module_lock();
}

// A REGISTRY resource as text: UTF-16LE after a byte-order mark, else UTF-8 (mark optional).
HRESULT load_script(HMODULE instance, int resource, kv::unique_mem<wchar_t>& text) {
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(resource), L"REGISTRY");
  if (!found) return HRESULT_FROM_WIN32(GetLastError());
  HGLOBAL loaded = LoadResource(instance, found);
  const DWORD size = SizeofResource(instance, found);
  const auto* bytes = loaded ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
  if (!bytes) return HRESULT_FROM_WIN32(GetLastError());

  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    const std::size_t units = (size - 2) / 2;
    text.reset(static_cast<wchar_t*>(kv::mem_alloc((units + 1) * sizeof(wchar_t))));
    if (!text) return E_OUTOFMEMORY;
    wchar_t* out = text.get();
    for (std::size_t i = 0; i < units; ++i) {
      out[i] = static_cast<wchar_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
    }
    out[units] = 0;
    return S_OK;
  }
  DWORD skip = size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  const char* narrow = reinterpret_cast<const char*>(bytes + skip);
  const int narrow_size = static_cast<int>(size - skip);
  const int units = narrow_size ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow, narrow_size, nullptr, 0) : 0;
  if (narrow_size && units <= 0) return HRESULT_FROM_WIN32(GetLastError());
  text.reset(static_cast<wchar_t*>(kv::mem_alloc((static_cast<std::size_t>(units) + 1) * sizeof(wchar_t))));
  if (!text) return E_OUTOFMEMORY;
  wchar_t* out = text.get();
  if (units) MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, narrow, narrow_size, out, units);
  out[units] = 0;
  return S_OK;
}

// The executable's path in a buffer of MAX_PATH; 0x8007007A when it fills the buffer.
HRESULT module_path(HMODULE instance, wchar_t (&path)[MAX_PATH]) noexcept {
  const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
  if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

// A crash inside a call must end the server rather than be turned into an error answer and
// leave the process running in an unknown state. Not fatal when it cannot be set: Wine 8, for
// one, answers S_OK but keeps nothing (Query still reads COMGLB_EXCEPTION_HANDLE).
void stop_com_swallowing_crashes() noexcept {
  kv::com_ptr<IGlobalOptions> options;
  HRESULT hr =
      CoCreateInstance(CLSID_GlobalOptions, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalOptions, options.put_void());
  if (SUCCEEDED(hr)) hr = options->Set(COMGLB_EXCEPTION_HANDLING, COMGLB_EXCEPTION_DONOT_HANDLE_ANY);
  if (FAILED(hr)) {
    trace_report(L"CDoDadevModule::PreMessageLoop", L"Unable to switch off COM exception handling!\n");
    trace_result_code(L"CDoDadevModule::PreMessageLoop", static_cast<std::uint32_t>(hr));
  }
}

}  // namespace

namespace kv {

bool module_replacements::add(const wchar_t* name, const wchar_t* value) noexcept {
  if (count == capacity) return false;
  items[count++] = {name, value};
  return true;
}

}  // namespace kv

CDoDadevModule::CDoDadevModule(kv::class_object_entry* table, std::size_t count, HMODULE instance) noexcept
    : table_(table), count_(table ? count : 0), instance_(instance ? instance : GetModuleHandleW(nullptr)) {
  if (!InitializeCriticalSectionEx(&module_lock_, 0, 0)) init_failed_ = true;
  hooked_module = this;
  kv::set_server_hooks({hook_lock, hook_unlock, hook_enter_module_lock, hook_leave_module_lock});
  // Never given back: the count of server references stays above zero while the process lives.
  lock_count_ = static_cast<LONG>(CoAddRefServerProcess());
}

CDoDadevModule::~CDoDadevModule() {
  if (hooked_module == this) {
    kv::set_server_hooks({});
    hooked_module = nullptr;
  }
  for (std::size_t i = 0; i < count_; ++i) {
    table_[i].factory.reset();
  }
  if (!init_failed_) DeleteCriticalSection(&module_lock_);
}

LONG CDoDadevModule::Lock() {
  const LONG count = static_cast<LONG>(CoAddRefServerProcess());
  lock_count_ = count;
  return count;
}

LONG CDoDadevModule::Unlock() {
  const LONG count = static_cast<LONG>(CoReleaseServerProcess());
  lock_count_ = count;
  return count;
}

LONG CDoDadevModule::lock_count() const { return lock_count_; }

HRESULT CDoDadevModule::global_interface_table(IGlobalInterfaceTable** table) {
  if (!table) return E_POINTER;
  return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                          reinterpret_cast<void**>(table));
}

HRESULT CDoDadevModule::add_common_replacements(kv::module_replacements& replacements) {
  if (!StringFromGUID2(kv::app_id_dodadev, replacements.app_id, 39)) return E_UNEXPECTED;
  return replacements.add(L"APPID", replacements.app_id) ? S_OK : E_UNEXPECTED;
}

HRESULT CDoDadevModule::make_replacements(kv::module_replacements& replacements) {
  KV_RETURN_IF_FAILED(module_path(instance_, replacements.path));
  wchar_t* quoted = replacements.quoted;
  wchar_t* doubled = replacements.doubled;
  *quoted++ = L'"';
  for (const wchar_t* c = replacements.path; *c; ++c) {
    *quoted++ = *c;
    *doubled++ = *c;
    if (*c == L'\'') *doubled++ = L'\'';
  }
  *quoted++ = L'"';
  *quoted = 0;
  *doubled = 0;
  replacements.add(L"Module", replacements.quoted);
  replacements.add(L"Module_Raw", replacements.doubled);
  return add_common_replacements(replacements);
}

HRESULT CDoDadevModule::run_script(int resource, kv::registrar_mode mode) {
  kv::module_replacements replacements;
  KV_RETURN_IF_FAILED(make_replacements(replacements));
  kv::unique_mem<wchar_t> text;
  KV_RETURN_IF_FAILED(load_script(instance_, resource, text));

  kv::registrar_roots roots;
  kv::unique_hkey user_classes;
  if (per_user_) {
    const LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_READ | KEY_WRITE, nullptr, user_classes.put(), nullptr);
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<unsigned long>(error));
    roots.classes_root = user_classes.get();
  }
  return kv::run_registry_script(text.get(), replacements.items, replacements.count, mode, roots);
}

HRESULT CDoDadevModule::register_server(bool per_user) {
  per_user_ = per_user;
  KV_RETURN_IF_FAILED(run_script(kv::app_id_script, kv::registrar_mode::register_keys));
  for (std::size_t i = 0; i < count_; ++i) {
    KV_RETURN_IF_FAILED(run_script(table_[i].registry_script, kv::registrar_mode::register_keys));
  }
  wchar_t path[MAX_PATH];
  KV_RETURN_IF_FAILED(module_path(instance_, path));
  return kv::register_module_type_library(path, per_user_);
}

HRESULT CDoDadevModule::unregister_server(bool per_user) {
  per_user_ = per_user;
  for (std::size_t i = 0; i < count_; ++i) {
    KV_RETURN_IF_FAILED(run_script(table_[i].registry_script, kv::registrar_mode::unregister_keys));
  }
  wchar_t path[MAX_PATH];
  KV_RETURN_IF_FAILED(module_path(instance_, path));
  KV_RETURN_IF_FAILED(kv::unregister_module_type_library(path, per_user_));
  return run_script(kv::app_id_script, kv::registrar_mode::unregister_keys);
}

HRESULT CDoDadevModule::run_switch(kv::server_switch which) {
  switch (which) {
    case kv::server_switch::reg_server:
      return register_server(false);
    case kv::server_switch::unreg_server:
      return unregister_server(false);
    case kv::server_switch::reg_server_per_user:
      return register_server(true);
    case kv::server_switch::unreg_server_per_user:
      return unregister_server(true);
    case kv::server_switch::none:
      break;
  }
  return S_OK;
}

HRESULT CDoDadevModule::class_object(kv::class_object_entry& entry, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!entry.factory) {
    KV_RETURN_IF_FAILED(kv::create_class_factory(*this, entry.creator, IID_IUnknown, entry.factory.put_void()));
  }
  return entry.factory->QueryInterface(riid, object);
}

void CDoDadevModule::enter_module_lock() noexcept {
  if (!init_failed_) EnterCriticalSection(&module_lock_);
}

void CDoDadevModule::leave_module_lock() noexcept {
  if (!init_failed_) LeaveCriticalSection(&module_lock_);
}

HRESULT CDoDadevModule::PreMessageLoop(int) {
  const DWORD thread = GetCurrentThreadId();
  kv::set_main_thread_id(thread);
  trace_line(L"CDoDadevModule::PreMessageLoop", 0, L"thread = %d", static_cast<int>(thread));
  stop_com_swallowing_crashes();

  HRESULT hr = count_ == 0 ? S_FALSE : S_OK;
  for (std::size_t i = 0; i < count_ && hr == S_OK; ++i) {
    kv::class_object_entry& entry = table_[i];
    kv::com_ptr<IUnknown> factory;
    hr = class_object(entry, IID_IUnknown, factory.put_void());
    if (FAILED(hr)) break;
    hr = CoRegisterClassObject(*entry.clsid, factory.get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED,
                               &entry.cookie);
    if (FAILED(hr)) entry.cookie = 0;
  }
  if (hr == S_OK) {
    hr = class_calls.resume();
    if (FAILED(hr)) revoke_class_objects(nullptr);
  } else if (FAILED(hr)) {
    revoke_class_objects(nullptr);
  }
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  return hr;
}

void CDoDadevModule::RunMessageLoop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

HRESULT CDoDadevModule::PostMessageLoop() {
  trace_line(L"CDoDadevModule::PostMessageLoop", 0, nullptr);
  HRESULT hr = S_OK;
  revoke_class_objects(&hr);
  return hr;
}

void CDoDadevModule::revoke_class_objects(HRESULT* first_failure) {
  for (std::size_t i = 0; i < count_; ++i) {
    if (!table_[i].cookie) continue;
    const HRESULT hr = class_calls.revoke(table_[i].cookie);
    table_[i].cookie = 0;
    if (FAILED(hr)) {
      if (first_failure) *first_failure = hr;
      return;
    }
  }
}
