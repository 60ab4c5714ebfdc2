#include "types/kv_paths.h"

KV_paths::KV_paths(const wchar_t* multi_string) {
  if (!multi_string) return;
  for (const wchar_t* entry = multi_string; *entry; entry += kv::wide_length(entry) + 1)
    emplace_back(entry);
}

KV_paths::~KV_paths() = default;
