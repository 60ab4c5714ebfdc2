// The trace switch: the REG_DWORD value "EnableUserModeTrace" = 1 under any user hive (or the
// same hive-relative path under HKEY_LOCAL_MACHINE), then under the machine's own key; re-read at
// most every 3000 ms.
#include <atomic>

#include "trace/trace.h"
#include "trace/trace_internal.h"
#include "types/kv_path.h"
#include "win/owners.h"

namespace kv::trace_detail {

namespace {

constexpr std::uint32_t cache_ms = 3000;
constexpr wchar_t key_path[] = L"Software\\Orvane\\Keldra\\Logging";
constexpr wchar_t value_name[] = L"EnableUserModeTrace";
constexpr DWORD subkey_name_units = 256 + 1;

std::uint32_t system_ticks() { return GetTickCount(); }

// Plain process-wide state; atomics only so that threads of one process may race on it.
std::atomic<std::uint32_t (*)()> clock_source{system_ticks};
std::atomic<bool> have_verdict{false};
std::atomic<std::uint32_t> last_check{0};
std::atomic<bool> last_verdict{false};
std::atomic<std::uint32_t> scans{0};

bool switch_value_is_on(HKEY key) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, value_name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (type != REG_DWORD || size != sizeof(DWORD)) return false;
  DWORD value = 0;
  if (RegQueryValueExW(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
    return false;
  return type == REG_DWORD && value == 1;
}

bool hive_has_switch_on(const wchar_t* hive_name) {
  KV_path path(hive_name);
  path.join(key_path);
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_USERS, path.text(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS &&
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.text(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return false;
  return switch_value_is_on(key.get());
}

// No HKEY_LOCAL_MACHINE subkey is named like a user hive, so the hive-relative fallback alone
// would never find an administrator's machine-wide switch; the machine key is read last.
bool machine_has_switch_on() {
  unique_hkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return false;
  return switch_value_is_on(key.get());
}

bool scan_registry() {
  wchar_t hive_name[subkey_name_units];
  for (DWORD index = 0;; ++index) {
    DWORD units = subkey_name_units;
    if (RegEnumKeyExW(HKEY_USERS, index, hive_name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    if (hive_has_switch_on(hive_name)) return true;
  }
  return machine_has_switch_on();
}

}  // namespace

cached_switch cached_verdict() noexcept {
  if (!have_verdict) return cached_switch::unknown;
  // Elapsed time in unsigned 32-bit arithmetic stays right across the tick count's wrap.
  const std::uint32_t elapsed = clock_source.load()() - last_check;
  if (elapsed >= cache_ms) return cached_switch::unknown;
  return last_verdict ? cached_switch::on : cached_switch::off;
}

bool check_switch() {
  ++scans;
  const bool on = scan_registry();
  last_check = clock_source.load()();
  last_verdict = on;
  have_verdict = true;
  return on;
}

}  // namespace kv::trace_detail

namespace kv::trace_seam {

void set_clock(std::uint32_t (*clock)()) { trace_detail::clock_source = clock ? clock : trace_detail::system_ticks; }

void reset_cache() {
  trace_detail::have_verdict = false;
  trace_detail::last_check = 0;
  trace_detail::last_verdict = false;
  trace_detail::scans = 0;
}

std::uint32_t registry_scans() { return trace_detail::scans; }

}  // namespace kv::trace_seam
