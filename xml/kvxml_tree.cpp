// Walks over a node's whole subtree: searches by name and by path, copies of subtrees and
// comparisons of trees. Each walk keeps its open levels in a stack on the heap, so a deep tree
// costs memory, not call stack.
#include <new>

#include "types/wide.h"
#include "xml/kvxml_common.h"
#include "xml/kvxml_node.h"
#include "xml/walk_stack.h"

namespace {

// The first node below `top` in depth-first pre-order that `match` accepts, or null;
// `pending` holds the next siblings still to visit.
template <typename Match>
KVXML_node* first_below(const KVXML_node* top, Match match) {
  kvxml::walk_stack<KVXML_node*> pending;
  KVXML_node* node = top->first_child();
  for (;;) {
    if (!node) {
      if (pending.empty()) return nullptr;
      node = pending.pop();
      continue;
    }
    if (match(node)) return node;
    if (node->first_child()) {
      if (node->next_sibling()) pending.push(node->next_sibling());
      node = node->first_child();
    } else {
      node = node->next_sibling();
    }
  }
}

}  // namespace

KV_xml_node* KVXML_node::find_descendant(const wchar_t* name) {
  std::size_t length = kv::wide_length(name);
  if (length == 0) return nullptr;
  return first_below(this, [&](const KVXML_node* node) {
    return kvxml::same_name(node->name(), node->name_length(), name, length);
  });
}

// Paths

namespace {

// The next "/"-separated component at or after `p`, skipping separators; false at the end.
bool next_component(const wchar_t*& p, const wchar_t*& component, std::size_t& length) noexcept {
  while (*p == L'/') ++p;
  if (!*p) return false;
  component = p;
  while (*p && *p != L'/') ++p;
  length = static_cast<std::size_t>(p - component);
  return true;
}

}  // namespace

KV_xml_node* KVXML_node::select_path(const wchar_t* path) {
  if (!path) return nullptr;
  KVXML_node* node = this;
  const wchar_t* component;
  std::size_t length;
  while (next_component(path, component, length)) {
    node = node->child_named(component, length);
    if (!node) return nullptr;
  }
  return node;
}

// Backtracking over every child that matches each component. The rest of the path after a
// component is counted from the start of the path text (so a leading "/" shifts it), and one "/"
// after it is skipped: paths are meant to be written "a/b/c".
KV_xml_node* KVXML_node::search_path(const wchar_t* path) {
  if (!path) return nullptr;
  struct frame {
    KVXML_node* candidate;
    const wchar_t* component;
    std::size_t length;
    const wchar_t* rest;
  };
  auto open = [](KVXML_node* node, const wchar_t* text, frame& out) {
    const wchar_t* p = text;
    if (!next_component(p, out.component, out.length)) return false;
    out.rest = text + out.length;
    if (*out.rest == L'/') ++out.rest;
    out.candidate = node->child_named(out.component, out.length);
    return true;
  };
  frame first;
  if (!open(this, path, first)) return this;
  try {
    kvxml::walk_stack<frame> frames;
    frames.push(first);
    while (!frames.empty()) {
      frame& top = frames.top();
      if (!top.candidate) {
        frames.pop();
        if (!frames.empty()) {
          frame& up = frames.top();
          up.candidate = up.candidate->next_named(up.component, up.length);
        }
        continue;
      }
      KVXML_node* candidate = top.candidate;
      frame deeper;
      if (!open(candidate, top.rest, deeper)) return candidate;
      frames.push(deeper);
    }
  } catch (const std::bad_alloc&) {
    // Like a path that cannot be copied: no result.
  }
  return nullptr;
}

// Copies and comparisons

namespace {

KVXML_node* copy_one(const KVXML_node* source, KVXML_node* destination_parent) {
  KVXML_node* copy = KVXML_node::create(source->name(), source->name_length());
  // Linked first: if an attribute cannot be made, the copy so far stays in the destination.
  destination_parent->link_child(copy);
  copy->text().assign(source->text().text(), static_cast<std::size_t>(source->text().length()));
  for (const KVXML_attrib* attrib = source->first_attribute(); attrib; attrib = attrib->next()) {
    copy->set_attribute_span(attrib->name(), attrib->name_length(), attrib->value().text(),
                             static_cast<std::size_t>(attrib->value().length()), 0);
  }
  return copy;
}

bool same_attributes_of(const KVXML_node* a, const KVXML_node* b) noexcept {
  if (!kvxml::same_name(a->name(), a->name_length(), b->name(), b->name_length())) return false;
  const KVXML_attrib* x = a->first_attribute();
  const KVXML_attrib* y = b->first_attribute();
  for (; x; x = x->next(), y = y->next()) {
    if (!y) return false;
    if (!kvxml::same_name(x->name(), x->name_length(), y->name(), y->name_length())) return false;
    if (!kvxml::same_name(x->value().text(), static_cast<std::size_t>(x->value().length()), y->value().text(),
                          static_cast<std::size_t>(y->value().length()))) {
      return false;
    }
  }
  return y == nullptr;
}

}  // namespace

KV_xml_node* KVXML_node::copy_node(KV_xml_node* source, KV_xml_node* destination_parent) {
  if (!source || !destination_parent) return nullptr;
  return copy_one(static_cast<KVXML_node*>(source), static_cast<KVXML_node*>(destination_parent));
}

namespace {

// Copies the matching children of `source` and their whole subtrees; one frame per open level.
void copy_subtrees(KVXML_node* from, KVXML_node* destination, const wchar_t* name) {
  const std::size_t length = kv::wide_length(name);
  struct frame {
    KVXML_node* source;  // the child being copied at this level
    KVXML_node* destination_parent;
  };
  kvxml::walk_stack<frame> frames;
  frames.push({name ? from->child_named(name, length) : from->first_child(), destination});
  while (!frames.empty()) {
    frame current = frames.top();
    if (!current.source) {
      frames.pop();
      if (frames.empty()) break;
      frame& up = frames.top();
      // Only the top level is filtered by name.
      up.source = (frames.size() == 1 && name) ? up.source->next_named(name, length) : up.source->next_sibling();
      continue;
    }
    KVXML_node* copy = copy_one(current.source, current.destination_parent);
    frames.push({current.source->first_child(), copy});
  }
}

// True when `node` is `top` or is reached from it through children lists. A node may sit in
// the lists of two parents, so its parent chain alone does not answer this.
bool reaches(const KVXML_node* top, const KVXML_node* node) {
  return top == node || first_below(top, [node](const KVXML_node* below) { return below == node; });
}

// Moves every child of `from` to the end of `to`'s list.
void move_children(KVXML_node* from, KVXML_node* to) noexcept {
  KVXML_node* child = from->first_child();
  while (child) {
    KVXML_node* next = child->next_sibling();
    to->link_child(child);
    child = next;
  }
}

}  // namespace

// A destination inside the copied subtree would be walked while it grows and the copy would never
// end; the copies are then made under a detached holder first and moved over afterwards (also
// when a copy fails, so that the copies already made stay in the destination).
int KVXML_node::copy_children(KV_xml_node* source, KV_xml_node* destination, const wchar_t* name) {
  if (!source || !destination) return 0;
  auto* from = static_cast<KVXML_node*>(source);
  auto* to = static_cast<KVXML_node*>(destination);
  if (!reaches(from, to)) {
    copy_subtrees(from, to, name);
    return 1;
  }
  KVXML_node* holder = create(L"", 0);
  try {
    copy_subtrees(from, holder, name);
  } catch (...) {
    move_children(holder, to);
    holder->first_child_ = nullptr;
    holder->release();
    throw;
  }
  move_children(holder, to);
  holder->first_child_ = nullptr;
  holder->release();
  return 1;
}

bool KVXML_node::same_attributes(KV_xml_node* other) {
  return other && same_attributes_of(this, static_cast<KVXML_node*>(other));
}

// Attributes of every node pair and the shape of the two trees; texts are never compared.
bool KVXML_node::same_tree(KV_xml_node* other) {
  if (!same_attributes(other)) return false;
  struct pair {
    KVXML_node* a;
    KVXML_node* b;
  };
  kvxml::walk_stack<pair> levels;
  levels.push({first_child_, static_cast<KVXML_node*>(other)->first_child_});
  while (!levels.empty()) {
    pair current = levels.top();
    if (!current.a || !current.b) {
      if (current.a || current.b) return false;
      levels.pop();
      if (levels.empty()) break;
      pair& up = levels.top();
      up.a = up.a->next_;
      up.b = up.b->next_;
      continue;
    }
    if (!same_attributes_of(current.a, current.b)) return false;
    levels.push({current.a->first_child_, current.b->first_child_});
  }
  return true;
}
