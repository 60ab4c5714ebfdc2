#pragma once
// KVXML_node and KVXML_attrib: the element tree.
//
// A node's name never changes after creation, so it is stored in the same heap block as the node,
// followed by room for a short text; an attribute's block likewise holds its name and room for
// the value it was created with. Longer texts and values move to buffers of their own. The
// blocks of a parse share memory pages (xml/node_pages.h), so parsing costs one allocation per
// page rather than one per node and per attribute.
// Children are a singly linked list with a cached last child, so appending costs O(1).
// Attributes are a doubly linked list in the order of first setting; past a handful of them the
// node also keeps a hash index from folded name to attribute, made by the first lookup, so
// setting n attributes is O(n). A parse adds them without lookups and folds repeated names once
// the tag is read.
// Every walk over the tree keeps its pending path on the heap, never on the call stack.
// get_child and get_attribute remember the last entry they answered for an index above 0, so a
// walk by index 0, 1, 2, ... continues where the previous call stopped and costs O(n) in all.
#include <cstddef>
#include <cstdint>

#include "xml/kv_xml.h"
#include "xml/kvxml_string.h"
#include "xml/repeated_names.h"

class KVXML_node;
namespace kvxml {
class page_scope;
}

class KVXML_attrib final : public KV_xml_attrib {
 public:
  const wchar_t* get_name() override { return name(); }
  const wchar_t* get_value() override { return value_.text(); }

  const wchar_t* name() const noexcept { return reinterpret_cast<const wchar_t*>(this + 1); }
  std::size_t name_length() const noexcept { return name_length_; }
  std::uint32_t name_hash() const noexcept {
    if (!hash_) hash_ = kvxml::name_hash(name(), name_length_);
    return hash_;
  }
  const KVXML_string& value() const noexcept { return value_; }
  KVXML_attrib* next() const noexcept { return next_; }
  KVXML_attrib* previous() const noexcept { return previous_; }

 private:
  friend class KVXML_node;
  struct tail_room {
    std::size_t units;  // characters stored after the object, terminators included
    kvxml::page_scope* pages;  // null: a block of its own
  };
  static void* operator new(std::size_t size, tail_room room);
  static void operator delete(void* block, tail_room room) noexcept;
  static void operator delete(void* block) noexcept;

  KVXML_attrib(const wchar_t* name, std::size_t length, std::uint32_t hash, std::int32_t value_room) noexcept;
  ~KVXML_attrib() = default;

  KVXML_string value_;
  KVXML_attrib* next_ = nullptr;
  KVXML_attrib* previous_ = nullptr;
  mutable std::uint32_t hash_;  // 0 until needed: a parsed attribute may never be looked up
  std::uint32_t name_length_;
};

class KVXML_node final : public KV_xml_node {
 public:
  // A new detached node with no text, attributes or children; a parse passes its pages.
  // Throws std::bad_alloc.
  static KVXML_node* create(const wchar_t* name, std::size_t length, kvxml::page_scope* pages = nullptr);
  static KVXML_node* create(const wchar_t* name);

  const wchar_t* get_name() override { return name(); }
  KV_xml_attrib* get_attribute(int index, const wchar_t* name) override;
  int set_attribute(const wchar_t* name, const wchar_t* value) override;
  int set_attribute_decode(const wchar_t* name, const wchar_t* value) override;
  void remove_attribute(const wchar_t* name) override;
  const wchar_t* get_attribute_value(const wchar_t* name) override;
  const wchar_t* get_text() override { return text_.text(); }
  void set_text(const wchar_t* text) override { text_.assign(text); }
  void set_text_decode(const wchar_t* text) override;
  wchar_t* get_inner_text() override;
  int has_children() override { return first_child_ ? 1 : 0; }
  KV_xml_node* get_child(int index, const wchar_t* name) override;
  KV_xml_node* find_descendant(const wchar_t* name) override;
  KV_xml_node* add_child(const wchar_t* name) override;
  void append_child(KV_xml_node* node) override;
  void detach_child(KV_xml_node* node) override;
  KV_xml_node* find_child_by_attribute(const wchar_t* name, const wchar_t* value) override;
  KV_xml_node* select_path(const wchar_t* path) override;
  KV_xml_node* search_path(const wchar_t* path) override;
  KV_xml_node* get_parent() override { return parent_; }
  KV_xml_node* copy_node(KV_xml_node* source, KV_xml_node* destination_parent) override;
  int copy_children(KV_xml_node* source, KV_xml_node* destination, const wchar_t* name) override;
  void release() override;
  bool same_attributes(KV_xml_node* other) override;
  bool attributes_differ(KV_xml_node* other) override { return !same_attributes(other); }
  bool same_tree(KV_xml_node* other) override;
  void get_text_encoded(KVXML_string& out) override;

  // Direct access for the parser and writer (no virtual calls in their loops).
  const wchar_t* name() const noexcept { return reinterpret_cast<const wchar_t*>(this + 1); }
  std::size_t name_length() const noexcept { return name_length_; }
  bool is_declaration() const noexcept;
  const KVXML_string& text() const noexcept { return text_; }
  KVXML_string& text() noexcept { return text_; }
  KVXML_node* first_child() const noexcept { return first_child_; }
  KVXML_node* next_sibling() const noexcept { return next_; }
  KVXML_node* parent() const noexcept { return parent_; }
  KVXML_attrib* first_attribute() const noexcept { return first_attribute_; }

  // Links a detached node after the last child.
  void link_child(KVXML_node* child) noexcept;
  // set_attribute on counted texts; the flags say how the stored value is then cleaned
  // (the parser drops CR and LF from a value and decodes its references).
  enum : unsigned { value_drop_breaks = 1, value_decode = 2 };
  void set_attribute_span(const wchar_t* name, std::size_t name_length, const wchar_t* value,
                          std::size_t value_length, unsigned value_flags);
  // The same without looking for the name: the attribute goes to the end even when the name is
  // there already, and merge_repeated_attributes must follow before the node is used.
  KVXML_attrib* append_attribute_span(const wchar_t* name, std::size_t name_length, const wchar_t* value,
                                      std::size_t value_length, unsigned value_flags,
                                      kvxml::page_scope* pages = nullptr);
  // Gives each repeated name's last value to its first attribute and removes the later ones.
  // `names` and `attribs` describe the node's attributes in their order, as appended. On
  // std::bad_alloc names may still repeat: the node is then only fit to be released.
  void merge_repeated_attributes(const kvxml::named_entry* names, KVXML_attrib* const* attribs, std::size_t count);
  KVXML_attrib* find_attribute(const wchar_t* name, std::size_t length) const noexcept;
  KVXML_node* child_named(const wchar_t* name, std::size_t length) const noexcept;
  KVXML_node* next_named(const wchar_t* name, std::size_t length) const noexcept;

 private:
  struct tail_room {
    std::size_t units;  // characters stored after the object, terminators included
    kvxml::page_scope* pages;  // null: a block of its own
  };
  struct attrib_index;
  struct walk_cursors;
  static void* operator new(std::size_t size, tail_room room);
  static void operator delete(void* block, tail_room room) noexcept;
  static void operator delete(void* block) noexcept;

  KVXML_node(const wchar_t* name, std::size_t length) noexcept;
  ~KVXML_node();  // frees attributes and text only; release() takes care of children

  KVXML_attrib* find_attribute(const wchar_t* name, std::size_t length, std::uint32_t hash) const noexcept;
  static KVXML_attrib* make_attribute(const wchar_t* name, std::size_t name_length, std::uint32_t hash,
                                      const wchar_t* value, std::size_t value_length, unsigned value_flags,
                                      kvxml::page_scope* pages);
  void link_attribute(KVXML_attrib* attrib) noexcept;
  void drop_attribute(KVXML_attrib* attrib) noexcept;
  KVXML_node* last_child() noexcept;
  bool build_index() const noexcept;
  void index_every_attribute() const noexcept;
  void index_insert(KVXML_attrib* attrib, std::uint32_t hash) const noexcept;
  void index_remove(KVXML_attrib* attrib) noexcept;
  void index_make_room();
  walk_cursors* cursors() noexcept;
  void forget_attribute_position() noexcept;

  KVXML_node* first_child_ = nullptr;
  KVXML_node* next_ = nullptr;
  KVXML_node* parent_ = nullptr;
  KVXML_string text_;
  KVXML_attrib* first_attribute_ = nullptr;
  KVXML_attrib* last_attribute_ = nullptr;
  KVXML_node* last_child_ = nullptr;  // a hint: null or stale means "walk to the end"
  mutable attrib_index* index_ = nullptr;  // a cache: built by the first lookup that needs it
  walk_cursors* cursors_ = nullptr;  // made by the first walk past index 0
  std::uint32_t attribute_count_ = 0;
  std::uint32_t name_length_;
};
