#include "xml/repeated_names.h"

#include <cstring>
#include <new>

#include "types/kv_alloc.h"
#include "xml/kvxml_common.h"

namespace kvxml {
namespace {

constexpr std::uint64_t golden = 0x9E3779B97F4A7C15ull;

inline std::uint64_t folded(wchar_t c) noexcept { return static_cast<std::uint16_t>(kv::fold_ascii(c)); }

// Entries per part on average: a part's table (8 bytes a slot, at most half full) then stays in
// the first-level cache.
constexpr std::size_t entries_per_part = 1024;

// A position and its hash, side by side, so that a probe reads the names only on a likely match.
struct keyed {
  std::uint32_t hash;
  std::uint32_t position;  // in a table: the position plus one, 0 for an empty slot
};

// Scratch memory for the search; holds positions and hashes, never text.
template <typename T>
class scratch {
 public:
  explicit scratch(std::size_t count) : items_(static_cast<T*>(kv::mem_alloc_or_throw(count * sizeof(T)))) {}
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  ~scratch() { kv::mem_free(items_); }
  T* get() noexcept { return items_; }

 private:
  T* items_;
};

// The lowest earlier match is the first of its name.
void find_pairwise(const named_entry* entries, std::size_t count, repeat_list& repeats) {
  for (std::uint32_t i = 1; i < count; ++i) {
    for (std::uint32_t j = 0; j < i; ++j) {
      if (same_name(entries[j].name, entries[j].length, entries[i].name, entries[i].length)) {
        repeats.push_back({i, j});
        break;
      }
    }
  }
}

std::size_t table_slots_for(std::size_t entries) noexcept {
  std::size_t slots = 16;
  while (slots < 2 * entries) slots *= 2;
  return slots;
}

}  // namespace

// Four characters at a time, folded, through a multiply and a shift: every character reaches the
// low bits that pick a table slot.
std::uint32_t name_hash(const wchar_t* name, std::size_t length) noexcept {
  std::uint64_t hash = golden ^ length;
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    std::uint64_t word = folded(name[i]) | folded(name[i + 1]) << 16 | folded(name[i + 2]) << 32 | folded(name[i + 3]) << 48;
    hash = (hash ^ word) * golden;
    hash ^= hash >> 31;
  }
  std::uint64_t tail = 0;
  switch (length - i) {
    case 3:
      tail |= folded(name[i + 2]) << 32;
      [[fallthrough]];
    case 2:
      tail |= folded(name[i + 1]) << 16;
      [[fallthrough]];
    case 1:
      tail |= folded(name[i]);
      break;
    default:
      break;
  }
  hash = (hash ^ tail) * golden;
  const auto folded_hash = static_cast<std::uint32_t>(hash ^ (hash >> 32));
  return folded_hash ? folded_hash : 1;
}

// The entries are split into parts by the top bits of their hash (a stable counting sort, so a
// part lists its entries in their original order), and each part is searched with a small
// open-addressing table of the first entry of each name.
void find_repeated_names(const named_entry* entries, std::size_t count, repeat_list& repeats) {
  if (count <= names_compared_pairwise) {
    find_pairwise(entries, count, repeats);
    return;
  }
  if (count >= UINT32_MAX) throw std::bad_alloc();
  unsigned part_bits = 0;
  while (part_bits < 16 && (count >> part_bits) > entries_per_part) ++part_bits;
  const std::size_t parts = std::size_t{1} << part_bits;
  auto part_of = [part_bits](std::uint32_t hash) -> std::size_t { return part_bits ? hash >> (32 - part_bits) : 0; };

  scratch<std::uint32_t> bounds_block(2 * parts + 1);
  std::uint32_t* starts = bounds_block.get();  // parts + 1 bounds
  std::uint32_t* fill = starts + parts + 1;
  std::memset(starts, 0, (parts + 1) * sizeof(std::uint32_t));
  for (std::size_t i = 0; i < count; ++i) ++starts[part_of(entries[i].hash) + 1];
  std::size_t largest = 0;
  for (std::size_t p = 0; p < parts; ++p) {
    if (starts[p + 1] > largest) largest = starts[p + 1];
    starts[p + 1] += starts[p];
  }
  std::memcpy(fill, starts, parts * sizeof(std::uint32_t));
  scratch<keyed> work(count + table_slots_for(largest));
  keyed* sorted = work.get();
  keyed* table = sorted + count;
  for (std::uint32_t i = 0; i < count; ++i) sorted[fill[part_of(entries[i].hash)]++] = {entries[i].hash, i};

  for (std::size_t p = 0; p < parts; ++p) {
    const std::uint32_t begin = starts[p];
    const std::uint32_t end = starts[p + 1];
    const std::size_t mask = table_slots_for(end - begin) - 1;
    std::memset(static_cast<void*>(table), 0, (mask + 1) * sizeof(keyed));
    for (std::uint32_t k = begin; k < end; ++k) {
      const keyed entry = sorted[k];
      for (std::size_t s = entry.hash & mask;; s = (s + 1) & mask) {
        if (!table[s].position) {
          table[s] = {entry.hash, entry.position + 1};
          break;
        }
        const std::uint32_t first = table[s].position - 1;
        if (table[s].hash == entry.hash && same_name(entries[first].name, entries[first].length,
                                                     entries[entry.position].name, entries[entry.position].length)) {
          repeats.push_back({entry.position, first});
          break;
        }
      }
    }
  }
}

}  // namespace kvxml
