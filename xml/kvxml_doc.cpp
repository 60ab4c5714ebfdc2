#include "xml/kvxml_doc.h"

#include <cstdint>
#include <new>

#include "types/kv_alloc.h"
#include "xml/node_pages.h"
#include "xml/parser.h"
#include "xml/writer.h"

void* KVXML_doc::operator new(std::size_t size) { return kv::object_alloc_or_throw(size); }
void KVXML_doc::operator delete(void* block) noexcept { kv::object_free_plain(block); }

KV_xml_doc* make_xml_doc() { return new KVXML_doc(); }

KVXML_doc::~KVXML_doc() { clear(); }

void KVXML_doc::free_text(wchar_t* text) { kv::object_free(text); }

void KVXML_doc::clear() {
  if (root_) root_->release();
  root_ = nullptr;
}

namespace {

void set_version(KVXML_node* root) { root->set_attribute_span(L"version", 7, L"1.0", 3, 0); }

}  // namespace

int KVXML_doc::create() {
  clear();
  KVXML_node* root = KVXML_node::create(L"?xml", 4);
  try {
    set_version(root);
  } catch (...) {
    root->release();
    throw;
  }
  root_ = root;
  return 1;
}

// On failure the document keeps its fresh root with the elements completed before the failing
// one. A declaration at the start of the text takes the root's place. The reader never looks at
// the root's attributes, so the created root gets its version only once it is known to stay.
// The text may be one of this document's own names, texts or values: the old tree is released
// only once the new one has been read, so the text stays valid throughout.
int KVXML_doc::load_from_string(const wchar_t* text) {
  KVXML_node* fresh;
  try {
    fresh = KVXML_node::create(L"?xml", 4);
  } catch (...) {
    clear();
    throw;
  }
  bool parsed;
  try {
    kvxml::page_scope pages;
    parsed = !text || kvxml::parse_elements(fresh, *text == 0xFEFF ? text + 1 : text, 2, true, &pages);
  } catch (...) {
    clear();
    root_ = fresh;
    try {
      set_version(root_);
    } catch (...) {
      clear();
    }
    throw;
  }
  clear();
  root_ = fresh;
  KVXML_node* first = root_->first_child();
  if (parsed && first && first->is_declaration()) {
    root_->detach_child(first);
    root_->release();
    root_ = first;
    return 1;
  }
  set_version(root_);
  return parsed ? 1 : 0;
}

void KVXML_doc::write(KVXML_string& out) const {
  out.append(static_cast<wchar_t>(0xFEFF));
  kvxml::write_node(0, root_, out);
}

// Measured, then written straight into a block of the objects' heap that free_text gives back:
// a large document costs one allocation and no copy. The same length limit as any stored text.
wchar_t* KVXML_doc::save_to_string() {
  const std::int64_t length = 1 + kvxml::written_length(0, root_);
  if (length >= INT32_MAX) throw std::bad_alloc();
  auto* text = static_cast<wchar_t*>(kv::object_alloc_or_throw(static_cast<std::size_t>(length + 1) * sizeof(wchar_t)));
  text[0] = 0xFEFF;
  try {
    kvxml::write_node_at(0, root_, text + 1);
  } catch (...) {
    kv::object_free(text);
    throw;
  }
  text[length] = 0;
  return text;
}

// The destination gets a fresh declaration; the source's declaration attributes are not copied.
// A document copied onto itself stays as it is (rebuilding it would first clear the source).
int KVXML_doc::copy_document(KV_xml_doc* source, KV_xml_doc* destination) {
  if (!source || !destination) return 0;
  if (source == destination) return 1;
  auto* from = static_cast<KVXML_doc*>(source);
  auto* to = static_cast<KVXML_doc*>(destination);
  to->create();
  if (!from->root_) return 1;
  return to->root_->copy_children(from->root_, to->root_, nullptr);
}
