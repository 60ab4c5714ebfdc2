#include "types/kv_path.h"

#include <cstring>
#include <utility>

#include "types/kv_alloc.h"

namespace kv {

namespace {

std::uint16_t item_size_at(const unsigned char* at) noexcept {
  std::uint16_t size;
  std::memcpy(&size, at, sizeof size);
  return size;
}

// A scratch text that held path characters: wiped before it is freed.
struct scratch_text {
  wchar_t* units;
  explicit scratch_text(std::size_t count)
      : units(static_cast<wchar_t*>(mem_alloc_or_throw(count * sizeof(wchar_t)))) {
    std::memset(units, 0, count * sizeof(wchar_t));
  }
  ~scratch_text() {
    wipe(units);
    mem_free(units);
  }
  scratch_text(const scratch_text&) = delete;
  scratch_text& operator=(const scratch_text&) = delete;
};

constexpr wchar_t key_suffix[] = L".lukey";
constexpr std::size_t key_suffix_length = sizeof key_suffix / sizeof key_suffix[0] - 1;

// The text from `at` on is exactly ".lukey" in any letter case.
bool rest_is_key_suffix(const wchar_t* text, std::size_t length, std::size_t at) noexcept {
  return length - at == key_suffix_length && equals_nocase(text + at, key_suffix);
}

}  // namespace

std::size_t item_ids_size(const KV_item_id_list* ids) noexcept {
  if (!ids) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(ids);
  std::size_t total = 0;
  for (std::uint16_t size; (size = item_size_at(bytes + total)) != 0;) total += size;
  return total + sizeof(std::uint16_t);
}

KV_item_id_list* copy_item_ids(const KV_item_id_list* ids) {
  if (!ids) return nullptr;
  const std::size_t size = item_ids_size(ids);
  const std::size_t items = size - sizeof(std::uint16_t);
  auto* copy = static_cast<unsigned char*>(mem_alloc_or_throw(size));
  std::memcpy(copy, ids, items);
  copy[items] = 0;
  copy[items + 1] = 0;
  return reinterpret_cast<KV_item_id_list*>(copy);
}

}  // namespace kv

KV_path::KV_path() = default;

KV_path::KV_path(const wchar_t* text) : KV_string(text) {}

KV_path::KV_path(const KV_path& other)
    : KV_string(other), item_ids_(kv::copy_item_ids(other.item_ids_)), item_flags_(other.item_flags_) {}

KV_path::KV_path(KV_path&& other) noexcept
    : KV_string(std::move(other)),
      item_ids_(std::exchange(other.item_ids_, nullptr)),
      item_flags_(std::exchange(other.item_flags_, std::uint16_t{0})) {}

KV_path& KV_path::operator=(const KV_path& other) {
  if (this == &other) return *this;
  KV_item_id_list* ids = kv::copy_item_ids(other.item_ids_);
  try {
    KV_string::assign(other);
  } catch (...) {
    kv::mem_free(ids);
    throw;
  }
  drop_item_ids();
  item_ids_ = ids;
  item_flags_ = other.item_flags_;
  return *this;
}

KV_path& KV_path::operator=(KV_path&& other) noexcept {
  if (this == &other) return *this;
  KV_string::operator=(std::move(other));
  drop_item_ids();
  item_ids_ = std::exchange(other.item_ids_, nullptr);
  item_flags_ = std::exchange(other.item_flags_, std::uint16_t{0});
  return *this;
}

KV_path& KV_path::operator=(const wchar_t* text) {
  assign(text);
  return *this;
}

KV_path::~KV_path() { drop_item_ids(); }

void KV_path::drop_item_ids() noexcept {
  kv::mem_free(item_ids_);
  item_ids_ = nullptr;
  item_flags_ = 0;
}

void KV_path::assign(const wchar_t* text) {
  KV_string::assign(text);
  drop_item_ids();
}

void KV_path::assign(const KV_string& other) {
  KV_string::assign(other);
  drop_item_ids();
}

void KV_path::set_item_ids(const KV_item_id_list* ids, std::uint16_t flags) {
  KV_item_id_list* copy = kv::copy_item_ids(ids);
  drop_item_ids();
  item_ids_ = copy;
  item_flags_ = flags;
}

void KV_path::join(const wchar_t* component) {
  if (!component) return;
  const wchar_t* base = text();
  const std::size_t base_length = length();
  if (base_length == 0) {
    assign(component);
    return;
  }
  const std::size_t component_length = kv::wide_length(component);
  const bool base_ends_with_slash = base[base_length - 1] == L'\\';
  const bool component_starts_with_slash = component[0] == L'\\';

  std::size_t keep = base_length;
  bool add_slash = false;
  if (!base_ends_with_slash)
    add_slash = !component_starts_with_slash;
  else if (component_starts_with_slash)
    keep = base_length - 1;

  // Built aside first: the component may be this path's own buffer.
  kv::scratch_text joined_text(keep + 1 + component_length + 1);
  std::memcpy(joined_text.units, base, keep * sizeof(wchar_t));
  std::size_t at = keep;
  if (add_slash) joined_text.units[at++] = L'\\';
  std::memcpy(joined_text.units + at, component, component_length * sizeof(wchar_t));
  assign(joined_text.units);
}

KV_path KV_path::joined(const wchar_t* component) {
  join(component);
  return *this;
}

bool KV_path::precedes(const KV_path& other) const {
  const wchar_t* a = text();
  const wchar_t* b = other.text();
  const std::size_t a_length = length();
  const std::size_t b_length = other.length();
  const std::size_t common = a_length < b_length ? a_length : b_length;
  for (std::size_t i = 0; i < common; ++i) {
    // A key file sorts before everything else that shares its stem. When both are key files
    // of the same stem, their exact characters decide, so that no two paths precede each other.
    const bool a_is_key = kv::rest_is_key_suffix(a, a_length, i);
    const bool b_is_key = kv::rest_is_key_suffix(b, b_length, i);
    if (a_is_key != b_is_key) return a_is_key;
    if (a[i] == b[i]) continue;
    if (a[i] == L'\\') return true;
    if (b[i] == L'\\') return false;
    return static_cast<unsigned short>(a[i]) < static_cast<unsigned short>(b[i]);
  }
  return a_length < b_length;
}
