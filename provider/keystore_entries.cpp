#include "provider/keystore_entries.h"

#include "win/kv_hresult.h"

namespace kv::provider {

namespace {

constexpr std::uint32_t max_index_size = 64 * 1024;
constexpr std::uint32_t max_key_file_size = 8 * 1024;
constexpr std::uint32_t max_link_size = 2 * 255;

// The id's link, from its subfolder or else from the top where earlier writers put it;
// `flat` says the subfolder held none.
HRESULT read_link(const keystore_location& where, const GUID& id, byte_buffer& link, bool& flat) {
  const KV_path sharded = link_file(where, id);
  KV_RETURN_IF_FAILED(hold_parent(where, sharded));
  HRESULT hr = read_whole_file(sharded.text(), max_link_size, link);
  flat = is_missing(hr);
  if (flat) {
    const KV_path top = link_file(where, id, true);
    hr = hold_parent(where, top);
    if (SUCCEEDED(hr)) hr = read_whole_file(top.text(), max_link_size, link);
  }
  return is_missing(hr) ? NTE_NOT_FOUND : hr;
}

// The key file's path that a link holds, checked to stay inside the key folders.
HRESULT link_target(const byte_buffer& link, KV_string& relative) {
  if (link.size() < 2 || link.size() % 2 != 0) return NTE_BAD_DATA;
  wide_buffer name(link.size() / 2 + 1);
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    name[i] = static_cast<wchar_t>(link[2 * i] | (link[2 * i + 1] << 8));
    if (name[i] == 0) return NTE_BAD_DATA;
  }
  name.back() = 0;
  if (!is_key_link_text(name.data())) return NTE_BAD_DATA;
  relative.assign(name.data());
  return S_OK;
}

// A key file that the link of its own id does not name is left over from a write cut short (a
// rename killed between its two writes): no lookup finds it, yet it holds its name. Under the
// lock it goes. A file that cannot be read or decoded stays: it may be damage worth keeping.
bool remove_if_orphan(const keystore_location& where, const KV_path& key_path, const wchar_t* file_name) {
  key_record record;
  if (FAILED(read_key_file(key_path, record))) return false;
  found_key linked;
  const HRESULT hr = find_key(where, record.id, linked);
  if (SUCCEEDED(hr) ? same_file_name(linked.file_name.text(), file_name) : hr != NTE_NOT_FOUND) return false;
  return remove_file(key_path.text()) != FALSE;
}

}  // namespace

HRESULT read_index(const keystore_location& where, index_record& index) {
  byte_buffer data;
  const HRESULT hr = read_whole_file(index_file(where).text(), max_index_size, data);
  if (is_missing(hr)) return NTE_BAD_KEYSET;
  KV_RETURN_IF_FAILED(hr);
  return decode_index(data, index);
}

HRESULT write_index(const keystore_location& where, const index_record& index, const interrupt_hook& interrupt,
                    bool replace) {
  byte_buffer data;
  KV_RETURN_IF_FAILED(encode_index(index, data));
  return write_atomically(where.folder, index_file(where), data, replace, interrupt);
}

HRESULT read_key_file(const KV_path& path, key_record& record) {
  byte_buffer data;
  KV_RETURN_IF_FAILED(read_whole_file(path.text(), max_key_file_size, data));
  return decode_key(data, record);
}

HRESULT find_key(const keystore_location& where, const GUID& id, found_key& key) {
  byte_buffer link;
  KV_RETURN_IF_FAILED(read_link(where, id, link, key.flat_link));
  KV_RETURN_IF_FAILED(link_target(link, key.file_name));
  key.path = child(where.folder, key.file_name.text());
  KV_RETURN_IF_FAILED(hold_parent(where, key.path));
  const HRESULT hr = read_key_file(key.path, key.record);
  if (is_missing(hr)) return NTE_NOT_FOUND;
  KV_RETURN_IF_FAILED(hr);
  return IsEqualGUID(key.record.id, id) ? S_OK : NTE_NOT_FOUND;
}

HRESULT write_new_key_file(const keystore_location& where, const KV_string& file_name, const byte_buffer& data,
                           const interrupt_hook& interrupt, const wchar_t* own) {
  const KV_path flat_path = child(where.folder, file_name.text());
  if (!(own && same_file_name(own, file_name.text())) && path_exists(flat_path.text()) &&
      !remove_if_orphan(where, flat_path, file_name.text()))
    return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
  const KV_string relative = key_relative_path(file_name);
  const KV_path key_path = child(where.folder, relative.text());
  const KV_path folder = parent_folder(key_path);
  KV_RETURN_IF_FAILED(make_folder(where, keys_folder(where)));
  KV_RETURN_IF_FAILED(make_folder(where, folder));
  HRESULT hr = write_atomically(folder, key_path, data, false, interrupt);
  if (hr == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS) && remove_if_orphan(where, key_path, relative.text()))
    hr = write_atomically(folder, key_path, data, false, interrupt);
  return hr;
}

byte_buffer link_bytes(const KV_string& relative) {
  byte_buffer link;
  byte_writer writer(link);
  for (std::size_t i = 0; i < relative.length(); ++i) writer.u16(static_cast<std::uint16_t>(relative.text()[i]));
  return link;
}

HRESULT write_link(const keystore_location& where, const GUID& id, const byte_buffer& link, bool replace,
                   const interrupt_hook& interrupt) {
  const KV_path path = link_file(where, id);
  const KV_path folder = parent_folder(path);
  KV_RETURN_IF_FAILED(make_folder(where, ids_folder(where)));
  KV_RETURN_IF_FAILED(make_folder(where, folder));
  const HRESULT hr = write_atomically(folder, path, link, replace, interrupt);
  // A top-level link of the earlier layout that stays (the file held open) is harmless: the new
  // link wins every lookup, and a delete takes both.
  if (SUCCEEDED(hr) && replace) remove_if_there(link_file(where, id, true));
  return hr;
}

HRESULT key_folder_files(const keystore_location& where, KV_paths& paths) {
  KV_paths folders;
  folders.push_back(where.folder);
  const KV_path keys = keys_folder(where);
  KV_paths shards;
  HRESULT hr = file_names(keys, shards, true);
  if (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)) hr = S_OK;
  KV_RETURN_IF_FAILED(hr);
  for (const KV_path& shard : shards) folders.push_back(child(keys, shard.text()));
  for (const KV_path& folder : folders) {
    KV_paths names;
    KV_RETURN_IF_FAILED(where.holds.check_and_hold(folder));
    hr = file_names(folder, names);
    for (const KV_path& name : names) paths.push_back(child(folder, name.text()));
    KV_RETURN_IF_FAILED(hr);
  }
  return S_OK;
}

}  // namespace kv::provider
