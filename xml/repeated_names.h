#pragma once
// Names compared as the XML library compares them (ASCII letters folded): a hash that agrees with
// that comparison, and a search for the names a list repeats. The parser adds an element's
// attributes as it reads them and folds repeated names once the tag is read, which touches the
// names in order instead of probing a growing table once per attribute.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "types/kv_alloc.h"

namespace kvxml {

// Equal for names that same_name() finds equal; never 0.
std::uint32_t name_hash(const wchar_t* name, std::size_t length) noexcept;

// Up to this many names every pair is compared, and their hashes are not needed.
constexpr std::size_t names_compared_pairwise = 16;

struct named_entry {
  const wchar_t* name;
  std::uint32_t length;
  std::uint32_t hash;  // name_hash of the name; may be left 0 in a list of names_compared_pairwise or fewer
};

// Entry `later` has the name of the earlier entry `first`, which is the first with that name.
struct repeat {
  std::uint32_t later;
  std::uint32_t first;
};

// Its memory comes through the allocation seam, like every buffer of the library.
using repeat_list = std::vector<repeat, kv::mem_allocator<repeat>>;

// Adds a repeat for every entry whose name an earlier entry has; the repeats of one name come in
// the order of their entries. Linear on average in the number of entries, with temporary memory
// of about 16 bytes per entry; names are read only when their hashes are equal. Throws
// std::bad_alloc; `repeats` may then hold some of the repeats.
void find_repeated_names(const named_entry* entries, std::size_t count, repeat_list& repeats);

}  // namespace kvxml
