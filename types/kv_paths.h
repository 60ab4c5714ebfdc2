#pragma once
// KV_paths: an ordered list of paths, each entry a full copy (item list included).
#include <cstddef>
#include <list>
#include <new>

#include "types/kv_alloc.h"
#include "types/kv_path.h"

class KV_paths : public std::list<KV_path, kv::mem_allocator<KV_path>> {
 public:
  KV_paths() = default;
  // From a multi-string: NUL-terminated texts ended by an empty text (a double NUL). Each text
  // before the empty one becomes a path, in order; null gives an empty list.
  explicit KV_paths(const wchar_t* multi_string);
  KV_paths(const KV_paths&) = default;
  KV_paths(KV_paths&&) = default;
  KV_paths& operator=(const KV_paths&) = default;
  KV_paths& operator=(KV_paths&&) = default;
  virtual ~KV_paths();
};
