#include "xml/kvxml_node.h"

#include <atomic>
#include <cstring>
#include <new>

#include "types/kv_alloc.h"
#include "types/wide.h"
#include "xml/kvxml_common.h"
#include "xml/node_pages.h"
#include "xml/repeated_names.h"
#include "xml/walk_stack.h"

namespace {

// Attributes a node may have before it builds its name index.
constexpr std::uint32_t index_threshold = 8;
constexpr std::uint32_t index_min_slots = 32;

// Characters of text a node's own block holds; attribute blocks hold at least this many.
constexpr std::int32_t node_text_room = 15;
constexpr std::int32_t attrib_value_room = 7;

std::size_t checked_length(std::size_t length) {
  if (length > static_cast<std::size_t>(INT32_MAX)) throw std::bad_alloc();
  return length;
}

// Copies the name into the tail of a block that operator new made room for.
void store_name(void* tail, const wchar_t* name, std::size_t length) noexcept {
  wchar_t* out = static_cast<wchar_t*>(tail);
  kvxml::copy_units(out, name, length);
  out[length] = 0;
}

// A parsed attribute value loses its CR and LF characters.
void drop_line_breaks(KVXML_string& text) noexcept {
  wchar_t* chars = text.data();
  std::int32_t kept = 0;
  for (std::int32_t i = 0; i < text.length(); ++i) {
    if (chars[i] != L'\r' && chars[i] != L'\n') chars[kept++] = chars[i];
  }
  text.set_length(kept);
}

// Moving or unlinking a child anywhere changes this, and every remembered child position
// becomes stale. (A node may sit in the lists of two parents, so no one node's list is enough.)
// Appending a new node at a list's end leaves earlier positions as they were.
std::atomic<std::uint64_t> children_generation{0};

void children_changed() noexcept { children_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

// The last entry a walk by index answered: the entry, its index among the entries that matched,
// and whether a name filtered the walk. A named walk continues only when the entry's own name
// matches the name asked for, which holds exactly when both filters are equal.
template <typename Entry>
struct walk_position {
  Entry* entry;
  std::int32_t index;
  bool named;
};

// The last answers of get_child (valid while the children generation is unchanged) and of
// get_attribute.
struct KVXML_node::walk_cursors {
  walk_position<KVXML_node> child;
  walk_position<KVXML_attrib> attrib;
  std::uint64_t generation;
};

namespace {

KVXML_node* next_entry(const KVXML_node* node) noexcept { return node->next_sibling(); }
KVXML_attrib* next_entry(const KVXML_attrib* attrib) noexcept { return attrib->next(); }

// The entry at `index` among those from `first` on that `name` matches (all of them for no
// name), continuing from `last` when it is a position of the same walk at or before that index.
// An answer past index 0 is kept where `remember` says (null: it is not kept).
template <typename Entry, typename Remember>
Entry* entry_at(Entry* first, const walk_position<Entry>* last, int index, const wchar_t* name, Remember remember) {
  if (index < 0) return nullptr;
  const std::size_t length = kv::wide_length(name);
  auto matches = [&](const Entry* entry) {
    return !name || kvxml::same_name(entry->name(), entry->name_length(), name, length);
  };
  Entry* entry = first;
  int left = index;
  if (last && last->entry && last->index <= index && last->named == (name != nullptr) && matches(last->entry)) {
    entry = last->entry;
    left = index - last->index;
  }
  for (; entry; entry = next_entry(entry)) {
    if (!matches(entry) || left-- != 0) continue;
    if (index > 0) {
      if (walk_position<Entry>* at = remember()) *at = {entry, index, name != nullptr};
    }
    return entry;
  }
  return nullptr;
}

}  // namespace

// Open addressing with linear probing; the slots follow the header in the same block. Each slot
// keeps the name's hash beside the attribute, so a probe reads the attribute only on a likely match.
struct alignas(8) KVXML_node::attrib_index {
  struct slot {
    KVXML_attrib* attrib;
    std::uint32_t hash;
  };
  std::uint32_t mask;
  std::uint32_t used;
  slot* slots() noexcept { return reinterpret_cast<slot*>(this + 1); }

  static attrib_index* make(std::uint32_t slot_count) {
    attrib_index* index = make_or_null(slot_count);
    if (!index) throw std::bad_alloc();
    return index;
  }
  static attrib_index* make_or_null(std::uint32_t slot_count) noexcept {
    auto* index = static_cast<attrib_index*>(kv::object_alloc(sizeof(attrib_index) + slot_count * sizeof(slot)));
    if (!index) return nullptr;
    index->mask = slot_count - 1;
    index->used = 0;
    std::memset(static_cast<void*>(index->slots()), 0, slot_count * sizeof(slot));
    return index;
  }
};

// KVXML_attrib

void* KVXML_attrib::operator new(std::size_t size, tail_room room) {
  return kvxml::block_alloc(size + room.units * sizeof(wchar_t), room.pages);
}
void KVXML_attrib::operator delete(void* block, tail_room) noexcept { kvxml::block_free(block); }
void KVXML_attrib::operator delete(void* block) noexcept { kvxml::block_free(block); }

KVXML_attrib::KVXML_attrib(const wchar_t* name, std::size_t length, std::uint32_t hash, std::int32_t value_room) noexcept
    : hash_(hash), name_length_(static_cast<std::uint32_t>(length)) {
  store_name(this + 1, name, length);
  value_.use_storage(reinterpret_cast<wchar_t*>(this + 1) + length + 1, value_room);
}

// KVXML_node: creation and destruction

void* KVXML_node::operator new(std::size_t size, tail_room room) {
  return kvxml::block_alloc(size + room.units * sizeof(wchar_t), room.pages);
}
void KVXML_node::operator delete(void* block, tail_room) noexcept { kvxml::block_free(block); }
void KVXML_node::operator delete(void* block) noexcept { kvxml::block_free(block); }

KVXML_node::KVXML_node(const wchar_t* name, std::size_t length) noexcept
    : name_length_(static_cast<std::uint32_t>(length)) {
  store_name(this + 1, name, length);
  text_.use_storage(reinterpret_cast<wchar_t*>(this + 1) + length + 1, node_text_room);
}

KVXML_node* KVXML_node::create(const wchar_t* name, std::size_t length, kvxml::page_scope* pages) {
  checked_length(length);
  return new (tail_room{length + 1 + node_text_room + 1, pages}) KVXML_node(name, length);
}

KVXML_node* KVXML_node::create(const wchar_t* name) {
  return name ? create(name, kv::wide_length(name)) : create(L"", 0);
}

KVXML_node::~KVXML_node() {
  KVXML_attrib* attrib = first_attribute_;
  while (attrib) {
    KVXML_attrib* next = attrib->next_;
    delete attrib;
    attrib = next;
  }
  kv::object_free_plain(index_);
  kv::object_free_plain(cursors_);
}

// Frees the subtree without recursion: a child with children of its own is rotated in front of
// its parent (first child/next sibling seen as left/right links), so every node is reached once
// and the loop needs no memory.
void KVXML_node::release() {
  KVXML_node* node = first_child_;
  first_child_ = nullptr;
  while (node) {
    if (KVXML_node* child = node->first_child_) {
      node->first_child_ = child->next_;
      child->next_ = node;
      node = child;
    } else {
      KVXML_node* next = node->next_;
      delete node;
      node = next;
    }
  }
  delete this;
}

bool KVXML_node::is_declaration() const noexcept { return kvxml::is_declaration_name(name(), name_length_); }

// Children

KVXML_node* KVXML_node::last_child() noexcept {
  KVXML_node* tail = last_child_ ? last_child_ : first_child_;
  if (tail) {
    while (tail->next_) tail = tail->next_;
  }
  last_child_ = tail;
  return tail;
}

void KVXML_node::link_child(KVXML_node* child) noexcept {
  child->next_ = nullptr;
  child->parent_ = this;
  if (KVXML_node* tail = last_child()) {
    tail->next_ = child;
  } else {
    first_child_ = child;
  }
  last_child_ = child;
}

KV_xml_node* KVXML_node::add_child(const wchar_t* name) {
  KVXML_node* child = create(name);
  link_child(child);
  return child;
}

// The node is not taken out of an earlier parent's list, but that list now ends at it, so the
// earlier parent's cached last child is dropped. A node that is already our child moves to the
// end (relinking it in place would close a cycle). The node itself or one of our ancestors is
// refused: linked below its own descendant it would hold itself, and release would free it twice.
void KVXML_node::append_child(KV_xml_node* node) {
  if (!node) return;
  auto* child = static_cast<KVXML_node*>(node);
  for (const KVXML_node* up = this; up; up = up->parent_) {
    if (up == child) return;
  }
  children_changed();
  if (child->parent_ == this) {
    detach_child(child);
  } else if (child->parent_) {
    child->parent_->last_child_ = nullptr;
  }
  link_child(child);
}

void KVXML_node::detach_child(KV_xml_node* node) {
  if (!node) return;
  KVXML_node* previous = nullptr;
  for (KVXML_node* child = first_child_; child; previous = child, child = child->next_) {
    if (child != node) continue;
    if (previous) {
      previous->next_ = child->next_;
    } else {
      first_child_ = child->next_;
    }
    if (last_child_ == child) last_child_ = previous;
    children_changed();
    child->parent_ = nullptr;
    child->next_ = nullptr;
    return;
  }
}

// Made on first need; null when it cannot be made (the walk then starts from the head).
KVXML_node::walk_cursors* KVXML_node::cursors() noexcept {
  if (!cursors_) {
    cursors_ = static_cast<walk_cursors*>(kv::object_alloc(sizeof(walk_cursors)));
    if (cursors_) *cursors_ = walk_cursors{{nullptr, 0, false}, {nullptr, 0, false}, 0};
  }
  return cursors_;
}

void KVXML_node::forget_attribute_position() noexcept {
  if (cursors_) cursors_->attrib.entry = nullptr;
}

KV_xml_node* KVXML_node::get_child(int index, const wchar_t* name) {
  const std::uint64_t generation = children_generation.load(std::memory_order_relaxed);
  const walk_position<KVXML_node>* last = cursors_ && cursors_->generation == generation ? &cursors_->child : nullptr;
  return entry_at(first_child_, last, index, name, [&]() -> walk_position<KVXML_node>* {
    walk_cursors* at = cursors();
    if (!at) return nullptr;
    at->generation = generation;
    return &at->child;
  });
}

KVXML_node* KVXML_node::child_named(const wchar_t* name, std::size_t length) const noexcept {
  for (KVXML_node* child = first_child_; child; child = child->next_) {
    if (kvxml::same_name(child->name(), child->name_length_, name, length)) return child;
  }
  return nullptr;
}

KVXML_node* KVXML_node::next_named(const wchar_t* name, std::size_t length) const noexcept {
  for (KVXML_node* sibling = next_; sibling; sibling = sibling->next_) {
    if (kvxml::same_name(sibling->name(), sibling->name_length_, name, length)) return sibling;
  }
  return nullptr;
}

KV_xml_node* KVXML_node::find_child_by_attribute(const wchar_t* name, const wchar_t* value) {
  if (!name || !value) return nullptr;
  std::size_t name_length = kv::wide_length(name);
  std::size_t value_length = kv::wide_length(value);
  for (KVXML_node* child = first_child_; child; child = child->next_) {
    // A missing attribute reads as the empty text.
    const KVXML_attrib* attrib = child->find_attribute(name, name_length);
    const wchar_t* found = attrib ? attrib->value_.text() : kvxml::empty_text;
    std::size_t found_length = attrib ? static_cast<std::size_t>(attrib->value_.length()) : 0;
    if (kvxml::same_name(found, found_length, value, value_length)) return child;
  }
  return nullptr;
}

// Attributes

KVXML_attrib* KVXML_node::find_attribute(const wchar_t* name, std::size_t length) const noexcept {
  const bool indexed = index_ || build_index();
  return find_attribute(name, length, indexed ? kvxml::name_hash(name, length) : 0);
}

// A parse adds attributes without an index, so a node that nobody asks by name never pays for
// one; the first lookup past a handful of attributes builds it. Without memory for it the
// lookups stay linear.
bool KVXML_node::build_index() const noexcept {
  if (attribute_count_ <= index_threshold) return false;
  std::uint64_t slot_count = index_min_slots;
  while (slot_count * 3 < (static_cast<std::uint64_t>(attribute_count_) + 1) * 4) slot_count *= 2;
  if (slot_count > (1u << 30)) return false;
  index_ = attrib_index::make_or_null(static_cast<std::uint32_t>(slot_count));
  if (!index_) return false;
  index_every_attribute();
  return true;
}

// `hash` is the name's hash when the node has an index, else unused.
KVXML_attrib* KVXML_node::find_attribute(const wchar_t* name, std::size_t length, std::uint32_t hash) const noexcept {
  if (index_) {
    attrib_index::slot* slots = index_->slots();
    for (std::uint32_t i = hash & index_->mask; slots[i].attrib; i = (i + 1) & index_->mask) {
      KVXML_attrib* attrib = slots[i].attrib;
      if (slots[i].hash == hash && kvxml::same_name(attrib->name(), attrib->name_length_, name, length)) {
        return attrib;
      }
    }
    return nullptr;
  }
  for (KVXML_attrib* attrib = first_attribute_; attrib; attrib = attrib->next_) {
    if (kvxml::same_name(attrib->name(), attrib->name_length_, name, length)) return attrib;
  }
  return nullptr;
}

void KVXML_node::index_every_attribute() const noexcept {
  for (KVXML_attrib* attrib = first_attribute_; attrib; attrib = attrib->next_) index_insert(attrib, attrib->name_hash());
}

void KVXML_node::index_insert(KVXML_attrib* attrib, std::uint32_t hash) const noexcept {
  attrib_index::slot* slots = index_->slots();
  std::uint32_t i = hash & index_->mask;
  while (slots[i].attrib) i = (i + 1) & index_->mask;
  slots[i] = {attrib, hash};
  ++index_->used;
}

// Deletion with backward shift keeps every probe chain unbroken without tombstones.
void KVXML_node::index_remove(KVXML_attrib* attrib) noexcept {
  attrib_index::slot* slots = index_->slots();
  std::uint32_t mask = index_->mask;
  std::uint32_t hole = attrib->name_hash() & mask;
  while (slots[hole].attrib != attrib) hole = (hole + 1) & mask;
  slots[hole] = {nullptr, 0};
  --index_->used;
  for (std::uint32_t j = (hole + 1) & mask; slots[j].attrib; j = (j + 1) & mask) {
    std::uint32_t home = slots[j].hash & mask;
    bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    slots[hole] = slots[j];
    slots[j] = {nullptr, 0};
    hole = j;
  }
}

// Makes sure one more attribute can be indexed at a load of at most three quarters. A fuller
// table probes a little longer, but a large one is half the size: past the caches, the memory
// an insert touches costs more than the probes.
void KVXML_node::index_make_room() {
  std::uint64_t needed = attribute_count_ + 1;
  if (index_ && (index_->used + 1) * 4 <= (static_cast<std::uint64_t>(index_->mask) + 1) * 3) return;
  std::uint64_t slot_count = index_ ? (static_cast<std::uint64_t>(index_->mask) + 1) * 2 : index_min_slots;
  while (slot_count * 3 < needed * 4) slot_count *= 2;
  if (slot_count > (1u << 30)) throw std::bad_alloc();
  attrib_index* old = index_;
  index_ = attrib_index::make(static_cast<std::uint32_t>(slot_count));
  if (old) {
    attrib_index::slot* slots = old->slots();
    for (std::uint32_t i = 0; i <= old->mask; ++i) {
      if (slots[i].attrib) index_insert(slots[i].attrib, slots[i].hash);
    }
    kv::object_free_plain(old);
  } else {
    index_every_attribute();
  }
}

namespace {

// A parsed value loses its line breaks and has its references decoded, as the flags say.
void store_value(KVXML_string& target, const wchar_t* value, std::size_t length, unsigned flags) {
  target.assign(value, length);
  if (flags & KVXML_node::value_drop_breaks) drop_line_breaks(target);
  if (flags & KVXML_node::value_decode) target.decode_references();
}

}  // namespace

KVXML_attrib* KVXML_node::make_attribute(const wchar_t* name, std::size_t name_length, std::uint32_t hash,
                                         const wchar_t* value, std::size_t value_length, unsigned value_flags,
                                         kvxml::page_scope* pages) {
  checked_length(name_length);
  checked_length(value_length);
  // Room for the value as given: cleaning only ever shortens it, so storing it cannot fail.
  std::int32_t room = value_length > static_cast<std::size_t>(attrib_value_room) ? static_cast<std::int32_t>(value_length)
                                                                                 : attrib_value_room;
  auto* attrib = new (KVXML_attrib::tail_room{name_length + 1 + static_cast<std::size_t>(room) + 1, pages})
      KVXML_attrib(name, name_length, hash, room);
  kvxml::copy_units(attrib->value_.data(), value, value_length);
  attrib->value_.set_length(static_cast<std::int32_t>(value_length));
  if (value_flags & value_drop_breaks) drop_line_breaks(attrib->value_);
  if (value_flags & value_decode) attrib->value_.decode_references();
  return attrib;
}

// The index, when there is one, must have room for the attribute.
void KVXML_node::link_attribute(KVXML_attrib* attrib) noexcept {
  attrib->previous_ = last_attribute_;
  if (last_attribute_) {
    last_attribute_->next_ = attrib;
  } else {
    first_attribute_ = attrib;
  }
  last_attribute_ = attrib;
  ++attribute_count_;
  if (index_) index_insert(attrib, attrib->name_hash());
}

void KVXML_node::set_attribute_span(const wchar_t* name, std::size_t name_length, const wchar_t* value,
                                    std::size_t value_length, unsigned value_flags) {
  const std::uint32_t hash = kvxml::name_hash(name, name_length);
  if (index_ || attribute_count_ >= index_threshold) index_make_room();
  if (KVXML_attrib* existing = find_attribute(name, name_length, hash)) {
    // The first spelling of the name stays.
    store_value(existing->value_, value, value_length, value_flags);
    return;
  }
  link_attribute(make_attribute(name, name_length, hash, value, value_length, value_flags, nullptr));
}

KVXML_attrib* KVXML_node::append_attribute_span(const wchar_t* name, std::size_t name_length, const wchar_t* value,
                                                std::size_t value_length, unsigned value_flags, kvxml::page_scope* pages) {
  if (index_) index_make_room();
  KVXML_attrib* attrib = make_attribute(name, name_length, 0, value, value_length, value_flags, pages);
  link_attribute(attrib);
  return attrib;
}

// Each later attribute of a name hands its value to the first one and goes, so the node reads
// as if the attributes had been set one after the other.
void KVXML_node::merge_repeated_attributes(const kvxml::named_entry* names, KVXML_attrib* const* attribs,
                                           std::size_t count) {
  if (count < 2) return;
  kvxml::repeat_list repeats;
  kvxml::find_repeated_names(names, count, repeats);
  for (const kvxml::repeat& repeat : repeats) {
    attribs[repeat.first]->value_ = std::move(attribs[repeat.later]->value_);
    drop_attribute(attribs[repeat.later]);
  }
}

int KVXML_node::set_attribute(const wchar_t* name, const wchar_t* value) {
  if (!name) return 0;
  set_attribute_span(name, kv::wide_length(name), value ? value : kvxml::empty_text, kv::wide_length(value), 0);
  return 1;
}

int KVXML_node::set_attribute_decode(const wchar_t* name, const wchar_t* value) {
  if (!name) return 0;
  KVXML_string decoded(value);
  decoded.decode_references();
  set_attribute_span(name, kv::wide_length(name), decoded.text(), static_cast<std::size_t>(decoded.length()), 0);
  return 1;
}

void KVXML_node::remove_attribute(const wchar_t* name) {
  if (!name) return;
  if (KVXML_attrib* attrib = find_attribute(name, kv::wide_length(name))) drop_attribute(attrib);
}

void KVXML_node::drop_attribute(KVXML_attrib* attrib) noexcept {
  if (attrib->previous_) {
    attrib->previous_->next_ = attrib->next_;
  } else {
    first_attribute_ = attrib->next_;
  }
  if (attrib->next_) {
    attrib->next_->previous_ = attrib->previous_;
  } else {
    last_attribute_ = attrib->previous_;
  }
  if (index_) index_remove(attrib);
  --attribute_count_;
  forget_attribute_position();
  delete attrib;
}

KV_xml_attrib* KVXML_node::get_attribute(int index, const wchar_t* name) {
  return entry_at(first_attribute_, cursors_ ? &cursors_->attrib : nullptr, index, name,
                  [this]() -> walk_position<KVXML_attrib>* {
                    walk_cursors* at = cursors();
                    return at ? &at->attrib : nullptr;
                  });
}

const wchar_t* KVXML_node::get_attribute_value(const wchar_t* name) {
  if (!name) return kvxml::empty_text;
  const KVXML_attrib* attrib = find_attribute(name, kv::wide_length(name));
  return attrib ? attrib->value_.text() : kvxml::empty_text;
}

// Texts

void KVXML_node::set_text_decode(const wchar_t* text) {
  text_.assign(text);
  text_.decode_references();
}

void KVXML_node::get_text_encoded(KVXML_string& out) {
  out.assign(text_.text(), static_cast<std::size_t>(text_.length()));
  out.encode_references();
}

// The node's own text when it has one, else the inner texts of its children joined in order.
wchar_t* KVXML_node::get_inner_text() {
  KVXML_string out(KVXML_step{1024});
  if (!text_.empty()) {
    out.assign(text_.text(), static_cast<std::size_t>(text_.length()));
    return out.detach();
  }
  kvxml::walk_stack<KVXML_node*> pending;
  KVXML_node* node = first_child_;
  for (;;) {
    if (!node) {
      if (pending.empty()) break;
      node = pending.pop();
      continue;
    }
    if (!node->text_.empty()) {
      out.append(node->text_);
      node = node->next_;
    } else if (node->first_child_) {
      if (node->next_) pending.push(node->next_);
      node = node->first_child_;
    } else {
      node = node->next_;
    }
  }
  return out.detach();
}
