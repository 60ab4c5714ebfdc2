#pragma once
// Helpers shared by the XML tests (Windows test program: std::wstring is fine here).
#include <cstddef>
#include <cstdlib>
#include <string>

#include "xml/kv_xml.h"
#include "xml/xml_owners.h"

namespace xml_test {

// A loaded document and the result of the load.
struct loaded {
  kv::xml_document doc;
  int result;
};
inline loaded load(const std::wstring& text) {
  loaded out{kv::xml_document(), 0};
  out.result = out.doc->load_from_string(text.c_str());
  return out;
}

// save_to_string without the leading U+FEFF (an empty optional-like "<no mark>" when it is missing).
inline std::wstring saved(KV_xml_doc* doc) {
  const kv::xml_text text(doc, doc->save_to_string());
  std::wstring out = text.get();
  if (out.empty() || out[0] != 0xFEFF) return L"<no mark>" + out;
  return out.substr(1);
}

inline std::wstring take_text(wchar_t* text) {
  std::wstring out = text ? text : L"<null>";
  std::free(text);
  return out;
}

// A compact picture of a tree: name[attr=value,...]"text"(child,child).
inline std::wstring dump(KV_xml_node* node) {
  if (!node) return L"<null>";
  std::wstring out = node->get_name();
  if (node->get_attribute(0, nullptr)) {
    out += L"[";
    for (int i = 0; KV_xml_attrib* attrib = node->get_attribute(i, nullptr); ++i) {
      if (i) out += L",";
      out += attrib->get_name();
      out += L"=";
      out += attrib->get_value();
    }
    out += L"]";
  }
  if (*node->get_text()) out += L"\"" + std::wstring(node->get_text()) + L"\"";
  if (node->has_children()) {
    out += L"(";
    for (int i = 0; KV_xml_node* child = node->get_child(i, nullptr); ++i) {
      if (i) out += L",";
      out += dump(child);
    }
    out += L")";
  }
  return out;
}

inline std::wstring dump(KV_xml_doc* doc) { return doc->get_root() ? dump(doc->get_root()) : L"<no root>"; }

inline std::wstring repeat(const std::wstring& piece, std::size_t times) {
  std::wstring out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

}  // namespace xml_test
