#pragma once
// Owners for what the XML library hands out: a document (release) and a saved text (free_text).
// Portable like the rest of xml/: no Win32 here.
#include <utility>

#include "xml/kv_xml.h"

namespace kv {

// Owns one document. Move-only.
class xml_document {
 public:
  // A new empty document. Throws std::bad_alloc.
  xml_document() : doc_(make_xml_doc()) {}
  xml_document(xml_document&& other) noexcept : doc_(std::exchange(other.doc_, nullptr)) {}
  xml_document& operator=(xml_document&& other) noexcept {
    if (this != &other) {
      reset();
      doc_ = std::exchange(other.doc_, nullptr);
    }
    return *this;
  }
  xml_document(const xml_document&) = delete;
  xml_document& operator=(const xml_document&) = delete;
  ~xml_document() { reset(); }

  KV_xml_doc* operator->() const noexcept { return doc_; }
  KV_xml_doc* get() const noexcept { return doc_; }
  explicit operator bool() const noexcept { return doc_ != nullptr; }

 private:
  void reset() noexcept {
    if (doc_) std::exchange(doc_, nullptr)->release();
  }

  KV_xml_doc* doc_;
};

// A text from save_to_string, freed through a document's free_text (any document frees any
// saved text, so the one given may outlive the one that wrote the text). Move-only.
class xml_text {
 public:
  xml_text(KV_xml_doc* doc, wchar_t* text) noexcept : doc_(doc), text_(text) {}
  xml_text(xml_text&& other) noexcept : doc_(other.doc_), text_(std::exchange(other.text_, nullptr)) {}
  xml_text& operator=(xml_text&& other) noexcept {
    if (this != &other) {
      reset();
      doc_ = other.doc_;
      text_ = std::exchange(other.text_, nullptr);
    }
    return *this;
  }
  xml_text(const xml_text&) = delete;
  xml_text& operator=(const xml_text&) = delete;
  ~xml_text() { reset(); }

  const wchar_t* get() const noexcept { return text_; }
  explicit operator bool() const noexcept { return text_ != nullptr; }

 private:
  void reset() noexcept {
    if (text_) doc_->free_text(std::exchange(text_, nullptr));
  }

  KV_xml_doc* doc_;
  wchar_t* text_;
};

}  // namespace kv
