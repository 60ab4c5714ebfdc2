#pragma once
// Owners for what the XML library hands out: a document (release) and a saved text (free_text).
#include <utility>

#include "xml/kv_xml.h"

namespace kv {

class xml_document {
 public:
  // A new empty document. Throws std::bad_alloc.
  xml_document() : doc_(make_xml_doc()) {}
  xml_document(const xml_document&) = delete;
  xml_document& operator=(const xml_document&) = delete;
  ~xml_document() {
    if (doc_) doc_->release();
  }
  KV_xml_doc* operator->() const noexcept { return doc_; }
  KV_xml_doc* get() const noexcept { return doc_; }
  explicit operator bool() const noexcept { return doc_ != nullptr; }

 private:
  KV_xml_doc* doc_;
};

// A text from save_to_string, freed through the document that made it.
class xml_text {
 public:
  xml_text(KV_xml_doc* doc, wchar_t* text) noexcept : doc_(doc), text_(text) {}
  xml_text(const xml_text&) = delete;
  xml_text& operator=(const xml_text&) = delete;
  ~xml_text() {
    if (text_) doc_->free_text(text_);
  }
  const wchar_t* get() const noexcept { return text_; }

 private:
  KV_xml_doc* doc_;
  wchar_t* text_;
};

}  // namespace kv
