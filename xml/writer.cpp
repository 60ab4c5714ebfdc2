#include "xml/writer.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "xml/escapes.h"
#include "xml/kvxml_common.h"
#include "xml/walk_stack.h"

namespace kvxml {
namespace {

// Characters added by the reference of a special character; 0 for any other. The amounts are the
// escape table's, but the shape is a comparison and a switch rather than a lookup: most text is
// passed by the first comparison, and clang turns the loop over a long text into vector code
// that a lookup would prevent.
inline std::int64_t growth_of(wchar_t c) noexcept {
  if (c >= L'@') return 0;
  switch (c) {
    case L'"':
      return escape_of(L'"').length - 1;
    case L'&':
      return escape_of(L'&').length - 1;
    case L'\'':
      return escape_of(L'\'').length - 1;
    case L'<':
      return escape_of(L'<').length - 1;
    case L'>':
      return escape_of(L'>').length - 1;
    default:
      return 0;
  }
}

std::int64_t encoded_growth(const wchar_t* text, std::size_t length) noexcept {
  std::int64_t growth = 0;
  for (std::size_t i = 0; i < length; ++i) growth += growth_of(text[i]);
  return growth;
}

// The two passes of write_node share this walk: a measuring sink adds up the length, then a
// filling sink writes into a buffer reserved for exactly that length.
struct measuring_sink {
  std::int64_t length = 0;
  void put(wchar_t) noexcept { ++length; }
  void put(const wchar_t*, std::size_t count) noexcept { length += static_cast<std::int64_t>(count); }
  void put_spaces(std::int64_t count) noexcept {
    if (count > 0) length += count;
  }
  void put_encoded(const wchar_t* text, std::size_t count) noexcept {
    length += static_cast<std::int64_t>(count) + encoded_growth(text, count);
  }
};

struct filling_sink {
  wchar_t* w;
  void put(wchar_t c) noexcept { *w++ = c; }
  void put(const wchar_t* text, std::size_t count) noexcept {
    copy_units(w, text, count);
    w += count;
  }
  void put_spaces(std::int64_t count) noexcept {
    for (std::int64_t i = 0; i < count; ++i) *w++ = L' ';
  }
  void put_reference(wchar_t c) noexcept {
    switch (c) {
      case L'"':
        put(escape_of(L'"').reference, escape_of(L'"').length);
        break;
      case L'&':
        put(escape_of(L'&').reference, escape_of(L'&').length);
        break;
      case L'\'':
        put(escape_of(L'\'').reference, escape_of(L'\'').length);
        break;
      case L'<':
        put(escape_of(L'<').reference, escape_of(L'<').length);
        break;
      case L'>':
        put(escape_of(L'>').reference, escape_of(L'>').length);
        break;
      default:
        *w++ = c;
    }
  }
  // The same shape as growth_of: one comparison passes most text, the rest is a switch.
  void put_encoded(const wchar_t* text, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
      const wchar_t c = text[i];
      if (c >= L'@') {
        *w++ = c;
        continue;
      }
      put_reference(c);
    }
  }
};

void append_encoded_known(KVXML_string& out, const wchar_t* text, std::size_t length, std::int64_t growth) {
  if (growth == 0) {
    out.append(text, length);
    return;
  }
  std::int64_t total = static_cast<std::int64_t>(out.length()) + static_cast<std::int64_t>(length) + growth;
  out.reserve(total);
  filling_sink fill{out.data() + out.length()};
  fill.put_encoded(text, length);
  out.set_length(static_cast<std::int32_t>(total));
}

template <typename Sink>
inline void put_indent(Sink& out, std::int64_t level) {
  out.put_spaces(2 * level);
}

// The end tag; the declaration has none.
template <typename Sink>
inline void put_close(Sink& out, const KVXML_node* node) {
  if (node->is_declaration()) return;
  out.put(L"</", 2);
  out.put(node->name(), node->name_length());
  out.put(L">\r\n", 3);
}

// Pre-order over the subtree; `open` holds the elements whose children are being written, so
// the depth of the tree costs heap, not call stack.
template <typename Sink>
void walk(std::int64_t level, const KVXML_node* node, Sink& out) {
  walk_stack<const KVXML_node*> open;
  const KVXML_node* current = node;
  for (;;) {
    put_indent(out, level);
    out.put(L'<');
    out.put(current->name(), current->name_length());
    for (const KVXML_attrib* attrib = current->first_attribute(); attrib; attrib = attrib->next()) {
      out.put(L' ');
      out.put(attrib->name(), attrib->name_length());
      out.put(L"=\"", 2);
      out.put_encoded(attrib->value().text(), static_cast<std::size_t>(attrib->value().length()));
      out.put(L'"');
    }
    if (!current->text().empty()) {
      out.put(L'>');
      out.put_encoded(current->text().text(), static_cast<std::size_t>(current->text().length()));
      put_close(out, current);
    } else if (current->first_child()) {
      if (current->is_declaration()) out.put(L'?');
      out.put(L">\r\n", 3);
      open.push(current);
      current = current->first_child();
      ++level;
      continue;
    } else {
      if (current->is_declaration()) out.put(L'?');
      out.put(L'>');
      // Without attributes the end tag goes on a line of its own.
      if (!current->first_attribute()) {
        out.put(L"\r\n", 2);
        put_indent(out, level);
      }
      put_close(out, current);
    }
    for (;;) {
      if (open.empty()) return;
      if (current->next_sibling()) {
        current = current->next_sibling();
        break;
      }
      current = open.pop();
      --level;
      put_indent(out, level);
      put_close(out, current);
    }
  }
}

}  // namespace

void append_encoded(KVXML_string& out, const wchar_t* text, std::size_t length) {
  append_encoded_known(out, text, length, encoded_growth(text, length));
}

void encode_references(KVXML_string& text) {
  std::size_t length = static_cast<std::size_t>(text.length());
  std::int64_t growth = encoded_growth(text.text(), length);
  if (growth == 0) return;
  KVXML_string encoded(KVXML_step{text.step()});
  append_encoded_known(encoded, text.text(), length, growth);
  text = std::move(encoded);
}

// Measured first, so the output grows once, to its final size: no copies on growth, and a
// result too large for a text fails before anything is written.
void write_node(int depth, const KVXML_node* node, KVXML_string& out) {
  if (!node) return;
  const std::int64_t total = static_cast<std::int64_t>(out.length()) + written_length(depth, node);
  out.reserve(total);
  write_node_at(depth, node, out.data() + out.length());
  out.set_length(static_cast<std::int32_t>(total));
}

std::int64_t written_length(int depth, const KVXML_node* node) {
  if (!node) return 0;
  measuring_sink measure;
  walk(depth, node, measure);
  return measure.length;
}

void write_node_at(int depth, const KVXML_node* node, wchar_t* out) {
  if (!node) return;
  filling_sink fill{out};
  walk(depth, node, fill);
}

}  // namespace kvxml
