#pragma once
// Where a keystore's files lie (docs/provider.md, "Drives and folders"): the drive text resolved
// to a root, the folder "DoDadev Keystore" there with its index, and the subfolders that spread
// key files and id links, "keys\XX\<file name>" and "ids\YY\{GUID}.luid", so that no folder grows
// with the keystore: where names are matched without regard to case outside the file system
// (Wine), every new file name costs a scan of its whole folder. Keystores written before keep
// their files at the top ("<file name>", "ids\{GUID}.luid"); readers look there too.
#include <windows.h>

#include "provider/keystore_folder.h"
#include "types/kv_path.h"
#include "types/kv_string.h"

namespace kv::provider {

// One drive's keystore as an operation reaches it.
struct keystore_location {
  KV_path root;    // the drive as resolved: "E:\" or a folder without a trailing backslash
  KV_path folder;  // root\DoDadev Keystore
  bool volume_root = false;
  mutable folder_holds holds;  // the folders checked so far, held until the operation ends
};

inline constexpr wchar_t keys_folder_name[] = L"keys";

// The drive text as a volume root ("E:\") or a folder without trailing backslash, which must be
// an existing folder (HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) otherwise). Relative texts are
// refused (E_INVALIDARG): the server's current folder means nothing to its clients.
HRESULT resolve_drive(const wchar_t* drive, keystore_location& where);
// A root that a search lists, taken as it is: searches only look.
keystore_location search_location(const KV_path& root);

// GetFullPathNameW of the text.
HRESULT full_path(const wchar_t* text, KV_path& out);
KV_path child(const KV_path& base, const wchar_t* name);
// The path up to its last backslash, without it.
KV_path parent_folder(const KV_path& path);
// What follows the path's last backslash.
const wchar_t* leaf(const KV_path& path) noexcept;

KV_path index_file(const keystore_location& where);
KV_path ids_folder(const keystore_location& where);
KV_path keys_folder(const keystore_location& where);
// "ids\YY\{GUID}.luid", YY being the GUID text's first two hex digits; or, `flat`, the earlier
// "ids\{GUID}.luid".
KV_path link_file(const keystore_location& where, const GUID& id, bool flat = false);
// "keys\XX\<file name>". XX comes from the name folded to upper case, so that names the file
// system takes for the same share a folder and collide there.
KV_string key_relative_path(const KV_string& file_name);
// A link names "<file name>" or "keys\XX\<file name>"; a file name holds no separator.
bool is_key_link_text(const wchar_t* text) noexcept;

// "~<random>.tmp", a write that never finished.
bool is_temporary(const wchar_t* name) noexcept;
// "<file>.lukey.pending", a key file re-protected by a protection change.
bool is_pending(const wchar_t* name) noexcept;
KV_path with_pending(const KV_path& key_path);
KV_path without_pending(const KV_path& pending_path);

// Makes a keystore subfolder, or takes the one there, checked and held like the keystore folder:
// one made by someone else, or a link put in its place, is refused.
HRESULT make_folder(const keystore_location& where, const KV_path& folder);
// Checks and holds the folder of a keystore file that is about to be read, when it is there.
HRESULT hold_parent(const keystore_location& where, const KV_path& file);

}  // namespace kv::provider
