#pragma once
// Finding keystores across drives (docs/provider.md, "Drives and folders"): the volume roots, the
// folder drives that hold a keystore, remembered in the registry, and the drives that answered
// too slowly to be probed on every search. The searches themselves are keystore_service::drives
// and keystore_service::locate (keystore_search.cpp).
#include <windows.h>

#include <map>
#include <string>

#include "types/kv_path.h"

namespace kv::provider {

struct settings;

// Milliseconds from a clock that never goes back; GetTickCount64 outside tests.
using milliseconds_clock = ULONGLONG (*)();
ULONGLONG tick_count_ms() noexcept;

// Drives whose last probe failed slowly (a share that is gone, a device that does not answer):
// searches pass them over for a while, so each costs its time-out once per interval instead of
// on every search. Thread-safe; by default the provider objects of a process share one
// (process_wide), and a test gives its own with its own clock.
class slow_drive_cache {
 public:
  static constexpr ULONGLONG slow_ms = 250;
  static constexpr ULONGLONG skip_ms = 10 * 60 * 1000;

  explicit slow_drive_cache(milliseconds_clock clock = tick_count_ms) noexcept : clock_(clock) {}
  slow_drive_cache(const slow_drive_cache&) = delete;
  slow_drive_cache& operator=(const slow_drive_cache&) = delete;
  static slow_drive_cache& process_wide();

  // When a probe starts, for missed().
  ULONGLONG now() const { return clock_(); }
  // True while the drive's last slow miss is less than skip_ms ago.
  bool skipped(const KV_path& root);
  // Notes a probe that started at `started` and did not find what it looked for; true when it
  // was slow, so that the drive is passed over from now on.
  bool missed(const KV_path& root, ULONGLONG started);

 private:
  milliseconds_clock clock_;
  SRWLOCK lock_ = SRWLOCK_INIT;
  std::map<std::wstring, ULONGLONG> failed_;
};

// Adds a folder drive to the ones that searches by id look at. A failure is not reported: only
// searches by id miss the keystore then; it is there all the same.
void remember_folder_drive(const settings& config, const KV_path& root);

}  // namespace kv::provider
