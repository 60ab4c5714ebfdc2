#pragma once
// The keystore folder's protection against other accounts on the machine: it is made with a
// protected access list for the user, SYSTEM and Administrators, and an existing one is used only
// when it is no link and nobody else can change what it holds.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "types/kv_path.h"
#include "win/owners.h"

namespace kv::provider {

// Creates `folder` with a protected access list (the current user, SYSTEM and Administrators,
// inherited by everything in it), or checks it with check_private_folder when it exists.
// Throws std::bad_alloc.
HRESULT create_private_folder(const KV_path& folder);

// S_OK when `folder` is a folder, not a link (junction, symbolic link, any reparse point), and, on
// a volume that keeps access lists, neither its owner nor its access list lets an account other
// than the current user, SYSTEM and Administrators change it or what it holds; E_ACCESSDENIED
// otherwise. Volumes without access lists (FAT, many shares) pass: there is nothing to check.
// With `hold`, the handle that was checked is handed over, opened without delete sharing: while
// it is open, Windows refuses to rename or delete the folder, so the folder that was checked is
// the one that later opens by path reach.
// What one check learns that the next check of the same operation need not ask again (on Wine
// each question is a call to the wineserver or to another process).
struct folder_facts {
  std::vector<BYTE> user;  // the current user's TOKEN_USER; empty: not asked yet
  int keeps_lists = -1;    // the volume keeps access lists: 0 no, 1 yes, -1 not asked yet
};

// `known` (may be null) carries and receives what earlier checks learnt.
HRESULT check_private_folder(const KV_path& folder, kv::unique_file* hold = nullptr,
                             folder_facts* known = nullptr) noexcept;

// The keystore folder and the subfolders an operation uses, each checked with
// check_private_folder the first time the operation reaches it and held open until the
// operation ends.
class folder_holds {
 public:
  HRESULT check_and_hold(const KV_path& folder);  // throws std::bad_alloc

 private:
  std::vector<std::pair<std::wstring, kv::unique_file>> held_;
  folder_facts facts_;
};

// The access list test of check_private_folder: true when `owner` is none of the trusted accounts
// or `dacl` (null: everyone) lets another account write, delete, add files or change access.
bool others_can_change(PSID owner, const ACL* dacl, PSID user) noexcept;

// Opening files of the keystore: the file itself, never what a link points to. True when the
// opened file is a link or has other names (hard links), which a keystore file never has.
bool is_link_or_alias(HANDLE file) noexcept;

}  // namespace kv::provider
