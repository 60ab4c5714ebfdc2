#pragma once
// The keystore's files as entries of the layout (provider/keystore_layout.h): the index, key
// files and the id links that find them. Writes put a key file's link in place before the file,
// so that a key file never exists without the link that finds it; a link whose file is missing,
// or names a file of another id, counts as absent. Writers call these under the keystore lock.
#include <windows.h>

#include <cstdint>

#include "provider/keystore_files.h"
#include "provider/keystore_format.h"
#include "provider/keystore_layout.h"
#include "types/kv_paths.h"

namespace kv::provider {

// A keystore that an operation opened: where it is, the writers' lock when it writes, and the
// index as read.
struct opened_keystore {
  keystore_location where;
  keystore_lock lock;
  index_record index;
};

// NTE_BAD_KEYSET when there is no index.
HRESULT read_index(const keystore_location& where, index_record& index);
// Writes the index in place of the one there or, without `replace`, as a new file
// (HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) when one is there).
HRESULT write_index(const keystore_location& where, const index_record& index, const interrupt_hook& interrupt,
                    bool replace = true);

// Reads and decodes a key file; a missing file answers as read_whole_file does.
HRESULT read_key_file(const KV_path& path, key_record& record);

// A key as its id's link finds it.
struct found_key {
  KV_path path;         // the key file
  KV_string file_name;  // what the link names: "keys\XX\<file name>", or "<file name>" at the top
  key_record record;
  bool flat_link = false;  // the link is the earlier "ids\{GUID}.luid"
};
// The key file that the id's link names, once its own id confirms it; NTE_NOT_FOUND otherwise.
HRESULT find_key(const keystore_location& where, const GUID& id, found_key& key);

// Moves a new key file to "keys\XX\<file name>" when no key holds the name there or, as keystores
// written before had it, at the top (`own`, the file being renamed, aside). An orphan holding the
// name is cleared first. HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) when a key holds the name.
HRESULT write_new_key_file(const keystore_location& where, const KV_string& file_name, const byte_buffer& data,
                           const interrupt_hook& interrupt, const wchar_t* own = nullptr);

// The link's content: the key file's path relative to the keystore folder, UTF-16LE.
byte_buffer link_bytes(const KV_string& relative);
// Writes the id's link in its subfolder, without `replace` as a new file; one left at the top by
// an earlier writer goes afterwards.
HRESULT write_link(const keystore_location& where, const GUID& id, const byte_buffer& link, bool replace,
                   const interrupt_hook& interrupt);

// The paths of the files in every folder that holds key files: the top and "keys\XX".
HRESULT key_folder_files(const keystore_location& where, KV_paths& paths);

}  // namespace kv::provider
