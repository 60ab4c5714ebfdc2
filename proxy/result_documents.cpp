// The result documents of the keystore commands: a created document with one element under the
// declaration, saved as text and copied into a BSTR for the client.
#include <new>

#include "proxy/lu_proxy_disp.h"
#include "types/kv_alloc.h"
#include "xml/xml_owners.h"

namespace {

BSTR saved_as_bstr(KV_xml_doc* document) {
  kv::xml_text text(document, document->save_to_string());
  if (kv::mem_injected_failure()) throw std::bad_alloc();
  BSTR copy = SysAllocString(text.get());
  if (!copy) throw std::bad_alloc();
  return copy;
}

// A new document with the declaration as root; answers the root.
KV_xml_node* created_root(kv::xml_document& document) {
  document->create();
  return document->get_root();
}

}  // namespace

BSTR LU_proxy_disp::encode_path_result(const KV_path& path) {
  kv::xml_document document;
  created_root(document)->add_child(L"path")->set_text(path.text());
  return saved_as_bstr(document.get());
}

BSTR LU_proxy_disp::encode_paths_result(const KV_paths& paths) {
  kv::xml_document document;
  KV_xml_node* list = created_root(document)->add_child(L"paths");
  for (const KV_path& path : paths) list->add_child(L"path")->set_text(path.text());
  return saved_as_bstr(document.get());
}

// The number as "%u" writes it: decimal, unsigned, no padding.
BSTR LU_proxy_disp::encode_value_result(std::uint32_t value) {
  wchar_t digits[11];
  wchar_t* start = digits + 10;
  *start = 0;
  do {
    *--start = static_cast<wchar_t>(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  kv::xml_document document;
  created_root(document)->add_child(L"value")->set_text(start);
  return saved_as_bstr(document.get());
}
