#pragma once
// KV_path: a file-system path as given (never normalised), with the shell item-identifier list
// that may travel with it. The item list and its flags belong to the text they came with: any
// change of the text drops them.
#include <cstdint>

#include "types/kv_string.h"

#if defined(_WIN32)
struct _ITEMIDLIST;
using KV_item_id_list = _ITEMIDLIST;  // the shell's ITEMIDLIST
#else
struct KV_item_id_list;  // opaque here: a run of items, each led by its 16-bit byte size
#endif

class KV_path : public KV_string {
 public:
  KV_path();                       // empty, not null
  KV_path(const wchar_t* text);    // copy; null gives a null path
  KV_path(const KV_path& other);   // text, a deep copy of the item list, the flags
  KV_path(KV_path&& other) noexcept;
  KV_path& operator=(const KV_path& other);
  KV_path& operator=(KV_path&& other) noexcept;
  KV_path& operator=(const wchar_t* text);
  ~KV_path() override;

  // True when this path sorts before `other`: exact code-unit order, except that a backslash
  // sorts before every other character and a name ending in ".lukey" (any case) sorts before
  // every longer path that shares its stem. A strict total order, usable as a sort comparator.
  virtual bool precedes(const KV_path& other) const;

  // Replace the text as KV_string does; the item list is freed and the flags reset.
  void assign(const wchar_t* text);
  void assign(const KV_string& other);

  // Appends `component` with exactly one backslash at the seam; an empty path becomes the
  // component, a null component changes nothing. Drops the item list like assign().
  void join(const wchar_t* component);
  // join(), then a copy of the result.
  KV_path joined(const wchar_t* component);

  const KV_item_id_list* item_ids() const noexcept { return item_ids_; }
  std::uint16_t item_flags() const noexcept { return item_flags_; }
  // Keeps a copy of `ids` (null clears) and the flags, without touching the text.
  // Throws std::bad_alloc.
  void set_item_ids(const KV_item_id_list* ids, std::uint16_t flags);

 private:
  void drop_item_ids() noexcept;

  KV_item_id_list* item_ids_ = nullptr;  // owned, allocated through kv::mem_alloc
  std::uint16_t item_flags_ = 0;
};

namespace kv {
// A copy of an item-identifier list: the items up to the zero-sized terminator, then two zero
// bytes. Null copies as null. Throws std::bad_alloc.
KV_item_id_list* copy_item_ids(const KV_item_id_list* ids);
// Size in bytes of the list including its terminator; 0 for null.
std::size_t item_ids_size(const KV_item_id_list* ids) noexcept;
}  // namespace kv
