#pragma once
// File-system pieces of the file keystore: whole-file reads, atomic writes, the writers' lock,
// folder listings and the file name a key gets from its name.
#include <windows.h>

#include <cstdint>
#include <string>

#include "provider/provider_crypto.h"
#include "types/kv_path.h"
#include "types/kv_paths.h"
#include "win/owners.h"

namespace kv::provider {

// The points at which a write can be stopped on purpose, as if the process were killed there.
enum class write_step {
  temporary_written,     // a temporary file is complete and flushed, not yet moved into place
  protection_committed,  // a new protection's index is in place, its key files not yet
};

// Test seam: `stop` answering true at a step ends the operation there with E_ABORT, leaving every
// file as it is at that moment. Null never stops.
struct interrupt_hook {
  bool (*stop)(write_step step, void* context) = nullptr;
  void* context = nullptr;
  bool at(write_step step) const { return stop && stop(step, context); }
};

// Whose file a read opens: one of the keystore, where a link is refused (E_ACCESSDENIED), or one
// the caller named, which may be a link but never lets a pipe server act as the caller.
enum class file_origin { keystore, caller };

// Test seam of the crash tests: when set, called before every change a writer makes to a
// keystore's files and folders (the tests end the process there). Null outside those tests.
extern void (*before_change)();
void about_to_change() noexcept;

// The text to hand the file functions for a full path: the path itself while it is short, its
// extended-length form ("\\?\C:\...", "\\?\UNC\server\share\...") once it could pass MAX_PATH,
// so that a key whose name is at the limit, in a folder drive of any depth, works without the
// system's long-path setting. Paths already in that form, device paths and anything not a full
// path pass as they are; so does a path whose copy cannot be allocated (the call then fails as
// it would have).
class os_path {
 public:
  explicit os_path(const wchar_t* path) noexcept;
  const wchar_t* get() const noexcept { return extended_.empty() ? path_ : extended_.c_str(); }

 private:
  const wchar_t* path_;
  std::wstring extended_;
};

// The calling thread's last error as an HRESULT; E_FAIL when it holds none.
HRESULT last_error() noexcept;

// True for the answers of a file or folder that is not there.
bool is_missing(HRESULT hr) noexcept;

// No "insert a disk" dialog while it lives: empty card readers and drives are probed quietly.
class quiet_errors {
 public:
  quiet_errors() noexcept { SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_); }
  ~quiet_errors() { SetThreadErrorMode(old_, nullptr); }
  quiet_errors(const quiet_errors&) = delete;
  quiet_errors& operator=(const quiet_errors&) = delete;

 private:
  DWORD old_ = 0;
};

// Deletes a file (after the seam). False with the last error set when that fails.
bool remove_file(const wchar_t* path) noexcept;

// Deletes a file that may be gone already: S_OK then too.
HRESULT remove_if_there(const KV_path& path);

// Reads a whole file of at most `max_size` bytes (NTE_BAD_DATA when larger). A missing file
// answers HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) or (ERROR_PATH_NOT_FOUND). Throws std::bad_alloc.
HRESULT read_whole_file(const wchar_t* path, std::uint32_t max_size, byte_buffer& data,
                        file_origin origin = file_origin::keystore);

// Writes `data` to a new temporary file in `folder` ("~<random>.tmp"), flushes it and moves it to
// `target` with MOVEFILE_WRITE_THROUGH, so that `target` is either untouched or whole. Without
// `replace`, an existing target answers HRESULT_FROM_WIN32(ERROR_FILE_EXISTS). Throws std::bad_alloc.
HRESULT write_atomically(const KV_path& folder, const KV_path& target, const byte_buffer& data, bool replace,
                         const interrupt_hook& interrupt);

// Writes and flushes `data` to the new file `target` directly (an existing name, link or not,
// answers HRESULT_FROM_WIN32(ERROR_FILE_EXISTS)): for files that only count once a later atomic
// write says so. Throws std::bad_alloc.
HRESULT write_flushed(const KV_path& target, const byte_buffer& data);

// Moves `from` over `to` (write-through), retrying for a moment while a reader holds `to` open.
HRESULT replace_file(const wchar_t* from, const wchar_t* to) noexcept;

// True when the path names an existing file or folder.
bool path_exists(const wchar_t* path) noexcept;

// File names compare as the file system does, without regard to letter case beyond ASCII.
bool same_file_name(const wchar_t* a, const wchar_t* b) noexcept;

// Appends the names of the files (or, with `folders`, the subfolders) directly in `folder`; a
// folder without any answers S_OK. Throws std::bad_alloc.
HRESULT file_names(const KV_path& folder, KV_paths& names, bool folders = false);

// The writers' lock of one keystore: an exclusively opened lock file in its folder. Readers take
// no lock; they rely on atomic replacement instead.
class keystore_lock {
 public:
  // Waits up to `timeout_ms` while another writer holds it, then answers
  // HRESULT_FROM_WIN32(ERROR_BUSY); any other failure (read-only medium, no right to write)
  // answers at once. A lock file that is a link is refused (E_ACCESSDENIED).
  HRESULT acquire(const KV_path& folder, DWORD timeout_ms);
  void release() noexcept { file_.reset(); }

 private:
  kv::unique_file file_;
};

// The file name of a key: its name with the characters a file name cannot hold, a trailing dot
// or blank, "%" itself and the first character of a reserved device name written as "%XX",
// then ".lukey". E_INVALIDARG for an empty or overlong name,
// HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) when the file name would pass 255 characters.
// Throws std::bad_alloc.
HRESULT key_file_name(const wchar_t* name, KV_string& file_name);

// The suffix of key files and of key files that wait for a protection change to finish.
inline constexpr wchar_t key_suffix[] = L".lukey";
inline constexpr wchar_t pending_suffix[] = L".pending";
inline constexpr wchar_t temporary_suffix[] = L".tmp";

// True when `name` ends with `suffix` without regard to ASCII letter case.
bool ends_with_nocase(const wchar_t* name, const wchar_t* suffix) noexcept;

}  // namespace kv::provider
