#pragma once
// KVXML_doc: a document owns its root, the "?xml" declaration node whose children are the
// top-level elements.
#include "xml/kv_xml.h"
#include "xml/kvxml_node.h"
#include "xml/kvxml_string.h"

class KVXML_doc final : public KV_xml_doc {
 public:
  static void* operator new(std::size_t size);
  static void operator delete(void* block) noexcept;

  KVXML_doc() noexcept = default;
  KVXML_doc(const KVXML_doc&) = delete;
  KVXML_doc& operator=(const KVXML_doc&) = delete;
  ~KVXML_doc() override;

  void free_text(wchar_t* text) override;
  void release() override { delete this; }
  void clear() override;
  int create() override;
  int load_from_string(const wchar_t* text) override;
  int load_from_file(const wchar_t* path) override;
  int load_from_handle(void* file) override;
  wchar_t* save_to_string() override;
  int save_to_file(const wchar_t* path) override;
  int save_to_handle(void* file) override;
  KV_xml_node* get_root() override { return root_; }
  int copy_document(KV_xml_doc* source, KV_xml_doc* destination) override;

  KVXML_node* root() const noexcept { return root_; }
  // U+FEFF and, when there is a root, the written tree.
  void write(KVXML_string& out) const;

 private:
  KVXML_node* root_ = nullptr;
};
