#include "xml/parser.h"

#include <cstdint>

#include "types/wide.h"
#include "xml/kvxml_common.h"
#include "xml/repeated_names.h"
#include "xml/walk_stack.h"

namespace kvxml {
namespace {

// Tag names end at a space, "/" or ">" (tab, CR, LF, "=", quotes and "?" belong to the name).
inline bool ends_name(wchar_t c) noexcept { return c <= L'>' && (c == 0 || c == L' ' || c == L'/' || c == L'>'); }

// skip_space_and_comments with the common case (a character that is neither white space nor the
// start of a comment, such as the "<" of a tag) decided inline.
inline const wchar_t* skip(const wchar_t* p) noexcept {
  wchar_t c = *p;
  if (c > L' ' && c < 0xA0 && (c != L'<' || p[1] != L'!')) return p;
  return skip_space_and_comments(p);
}

inline const wchar_t* scan_to_tag(const wchar_t* p) noexcept {
  while (*p && *p != L'<') ++p;
  return p;
}

// Owns an element while it is being read; a failure frees it with its partial subtree.
struct element_owner {
  KVXML_node* node;
  explicit element_owner(KVXML_node* owned) noexcept : node(owned) {}
  element_owner(const element_owner&) = delete;
  element_owner& operator=(const element_owner&) = delete;
  ~element_owner() {
    if (node) node->release();
  }
  KVXML_node* take() noexcept {
    KVXML_node* taken = node;
    node = nullptr;
    return taken;
  }
};

// An element's own text runs up to the next "<" (or the end of the text); one scan finds that
// end and what storing the text needs.
struct text_span {
  const wchar_t* end;
  bool breaks;      // CR or LF, which are dropped
  bool references;  // an "&" with a ";" somewhere after it: only then can a reference decode
};

text_span scan_text(const wchar_t* from) noexcept {
  text_span span{from, false, false};
  bool ampersand = false;
  for (const wchar_t* p = from;; ++p) {
    wchar_t c = *p;
    if (c >= L'@') continue;
    if (c == L'<' || c == 0) {
      span.end = p;
      return span;
    }
    if (c == L'\r' || c == L'\n') {
      span.breaks = true;
    } else if (c == L'&') {
      ampersand = true;
    } else if (c == L';') {
      span.references = span.references || ampersand;
    }
  }
}

// The text of an element without children: without CR and LF, trailing white space trimmed,
// references decoded.
void store_text(const wchar_t* from, const text_span& span, KVXML_string& text) {
  text.assign(from, static_cast<std::size_t>(span.end - from));
  if (span.breaks) {
    wchar_t* chars = text.data();
    std::int32_t kept = 0;
    for (std::int32_t i = 0; i < text.length(); ++i) {
      if (chars[i] != L'\r' && chars[i] != L'\n') chars[kept++] = chars[i];
    }
    text.set_length(kept);
  }
  text.trim_trailing_space();
  if (span.references) decode_references(text);
}

inline bool starts_comment(const wchar_t* p) noexcept {
  return p[0] == L'<' && p[1] == L'!' && p[2] == L'-' && p[3] == L'-';
}

// A decimal conversion as the Windows runtime's wcstol does it: leading white space, an optional
// sign, digits (of any script the runtime knows) up to the first other character, saturating at
// the limits of a 32-bit long.
std::int32_t to_long(const wchar_t* p, const wchar_t* end) noexcept {
  while (p < end && kv::is_space(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == L'+' || *p == L'-')) {
    negative = *p == L'-';
    ++p;
  }
  std::int64_t value = 0;
  for (int digit; p < end && (digit = kv::decimal_digit(*p)) >= 0; ++p) {
    if (value <= INT32_MAX) value = value * 10 + digit;
  }
  if (negative) return value > -static_cast<std::int64_t>(INT32_MIN) ? INT32_MIN : static_cast<std::int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
}

// The character a reference name stands for; 0 for none.
wchar_t reference_value(const wchar_t* name, std::size_t length) noexcept {
  if (length > 0 && name[0] == L'#') {
    return static_cast<wchar_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(to_long(name + 1, name + length))));
  }
  if (same_name(name, length, L"amp", 3)) return L'&';
  if (same_name(name, length, L"quot", 4)) return L'"';
  if (same_name(name, length, L"apos", 4)) return L'\'';
  if (same_name(name, length, L"lt", 2)) return L'<';
  if (same_name(name, length, L"gt", 2)) return L'>';
  return 0;
}

}  // namespace

const wchar_t* skip_space_and_comments(const wchar_t* p) noexcept {
  for (;;) {
    while (kv::is_space(*p)) ++p;
    if (p[0] != L'<' || p[1] != L'!' || p[2] != L'-' || p[3] != L'-') return p;
    // The search for "-->" starts at the "<" itself, so "<!-->" is a whole comment.
    const wchar_t* q = p;
    while (*q && !(q[0] == L'-' && q[1] == L'-' && q[2] == L'>')) ++q;
    if (!*q) return q;
    p = q + 3;
  }
}

namespace {

const wchar_t* parse_level(KVXML_node* parent, const wchar_t* p, int level, bool document_top, const wchar_t* first_tag,
                           page_scope* pages);

// Where the next tag of a level should start: whatever stands before the next "<" is not element
// text here and is passed over, and so are white space and comments from there. The end of the
// text when nothing follows. A `first_tag` the caller found stands in for the search, once.
inline const wchar_t* next_tag(const wchar_t* p, const wchar_t*& first_tag) noexcept {
  if (first_tag) {
    p = first_tag;
    first_tag = nullptr;
  } else {
    p = scan_to_tag(skip(p));
  }
  return *p ? skip(p) : p;
}

// From where an element's children stopped: its end tag, which must name it. The closing ">" is
// not checked: the next pass skips to the next "<". Where the element's level goes on, or null.
inline const wchar_t* read_end_tag(const wchar_t* p, const KVXML_node& element) noexcept {
  p = scan_to_tag(skip(p));
  if (!*p) return nullptr;
  p = skip(p);
  if (p[0] != L'<' || p[1] != L'/') return nullptr;
  p = skip(p + 2);
  const wchar_t* closing = p;
  while (!ends_name(*p)) ++p;
  if (!*p) return nullptr;
  if (!same_name(closing, static_cast<std::size_t>(p - closing), element.name(), element.name_length())) {
    return nullptr;
  }
  return skip(p);
}

// What follows a start tag that does not close itself: the element's text, its children and its
// end tag. Where the element's level goes on, or null.
inline const wchar_t* parse_content(KVXML_node* element, const wchar_t* content, int depth, page_scope* pages) {
  // The element's own text is scanned once, before its children are looked for. Its end is
  // the first "<", which is also where the search for a first child stops, unless a comment
  // starts there (white space before a comment is passed over with it). Without any "<" the
  // element cannot be closed. A declaration has neither text nor end tag.
  const bool declaration = element->is_declaration();
  text_span text{content, false, false};
  const wchar_t* children_from = nullptr;
  if (!declaration) {
    text = scan_text(content);
    if (!*text.end) return nullptr;
    if (!starts_comment(text.end)) children_from = text.end;
  }
  const wchar_t* stop = parse_level(element, content, depth + 1, false, children_from, pages);
  if (!stop) return nullptr;
  // A declaration takes everything after it as children and has no closing tag.
  if (declaration) return stop;
  if (!element->first_child()) store_text(content, text, element->text());
  return read_end_tag(stop, *element);
}

// One element from its "<": its start tag and, unless that closes itself, its content. It is
// linked to `parent` only once it is whole. Where the level goes on, or null.
inline const wchar_t* parse_element(KVXML_node* parent, const wchar_t* p, int level, bool document_top,
                                    page_scope* pages) {
  p = skip(p + 1);
  const wchar_t* name = p;
  while (!ends_name(*p)) ++p;
  if (!*p) return nullptr;
  element_owner element{KVXML_node::create(name, static_cast<std::size_t>(p - name), pages)};
  const int depth = document_top && !parent->first_child() && element.node->is_declaration() ? 1 : level;
  bool self_closing = false;
  const wchar_t* after = parse_attributes(skip(p), element.node, self_closing, pages);
  if (after && !self_closing) after = parse_content(element.node, after, depth, pages);
  if (!after) return nullptr;
  parent->link_child(element.take());
  return after;
}

// `first_tag`, when given, is where the search for the first tag from `p` ends: the caller has
// scanned that far already.
const wchar_t* parse_level(KVXML_node* parent, const wchar_t* p, int level, bool document_top, const wchar_t* first_tag,
                           page_scope* pages) {
  for (;;) {
    if (!*p) return p;
    p = next_tag(p, first_tag);
    if (!*p) return p;
    if (p[1] == L'/') return p;  // a closing tag: the caller checks it
    if (*p != L'<') return nullptr;  // text right after a comment
    if (level > max_depth) return nullptr;  // the document's own top level is never this deep
    p = parse_element(parent, p, level, document_top, pages);
    if (!p) return nullptr;
  }
}

}  // namespace

const wchar_t* parse_elements(KVXML_node* parent, const wchar_t* p, int level, bool document_top, page_scope* pages) {
  return parse_level(parent, p, level, document_top, nullptr, pages);
}

const wchar_t* parse_attributes(const wchar_t* p, KVXML_node* node, bool& self_closing, page_scope* pages) {
  p = skip(p);
  self_closing = false;
  // Repeated names are merged once the tag is read.
  walk_stack<named_entry> names;
  walk_stack<KVXML_attrib*> attribs;
  while (*p && *p != L'>' && *p != L'/') {
    const wchar_t* name = p;
    while (*p != L'=') {
      if (!*p || *p == L'>') return nullptr;
      ++p;
    }
    const wchar_t* name_end = p;
    while (name_end > name && kv::is_space(name_end[-1])) --name_end;
    p = skip(p + 1);
    wchar_t quote = *p;
    if (quote != L'"' && quote != L'\'') return nullptr;
    const wchar_t* value = ++p;
    unsigned flags = 0;
    for (;; ++p) {
      wchar_t c = *p;
      if (c == quote) break;
      if (c >= L'@') continue;
      if (c == 0 || c == L'>') return nullptr;
      if (c == L'\r' || c == L'\n') {
        flags |= KVXML_node::value_drop_breaks;
      } else if (c == L'&') {
        flags |= KVXML_node::value_decode;
      }
    }
    KVXML_attrib* attrib = node->append_attribute_span(name, static_cast<std::size_t>(name_end - name), value,
                                                       static_cast<std::size_t>(p - value), flags, pages);
    // Hashes are needed only past a few names; the first ones get theirs once that is known.
    if (names.size() == names_compared_pairwise) {
      for (std::size_t i = 0; i < names.size(); ++i) names.data()[i].hash = attribs.data()[i]->name_hash();
    }
    names.push({attrib->name(), static_cast<std::uint32_t>(attrib->name_length()),
                names.size() >= names_compared_pairwise ? attrib->name_hash() : 0});
    attribs.push(attrib);
    p = skip(p + 1);
    if (p[0] == L'/' && p[1] == L'>') {
      self_closing = true;
      ++p;
    } else if (*p == L'?' && node->is_declaration()) {
      ++p;
    }
  }
  if (*p == L'/') {
    self_closing = true;
    ++p;
  }
  if (*p != L'>') return nullptr;
  node->merge_repeated_attributes(names.data(), attribs.data(), names.size());
  return skip(p + 1);
}

const wchar_t* read_tag_name(const wchar_t* p, KVXML_string& name) {
  if (!p || *p != L'<') return nullptr;
  ++p;
  if (*p == L'/') ++p;
  p = skip(p);
  if (!*p) return nullptr;
  const wchar_t* start = p;
  while (!ends_name(*p)) ++p;
  name.assign(start, static_cast<std::size_t>(p - start));
  return skip(p);
}

unsigned detect_encoding(const wchar_t* text) {
  if (!text) return 0;
  const wchar_t* p = scan_to_tag(skip(text));
  if (!*p) return 0;
  p = skip(p);
  if (!*p || p[1] == L'/') return 0;
  KVXML_string name;
  p = read_tag_name(p, name);
  if (!p || name.compare_nocase(L"?xml") != 0) return 0;
  element_owner declaration{KVXML_node::create(L"?xml", 4)};
  bool self_closing = false;
  if (!parse_attributes(p, declaration.node, self_closing)) return 0;
  return kv::equals_nocase(declaration.node->get_attribute_value(L"encoding"), L"UTF-8") ? 65001u : 0u;
}

// In place: a reference ("&" to ";", at least two characters) never yields more than one.
// An "&" counts only when a ";" comes later; the last ";" is found once, up front.
void decode_references(KVXML_string& text) noexcept {
  wchar_t* s = text.data();
  std::int32_t n = text.length();
  std::int32_t last_semicolon = n - 1;
  while (last_semicolon >= 0 && s[last_semicolon] != L';') --last_semicolon;
  std::int32_t r = 0;
  while (r < last_semicolon && s[r] != L'&') ++r;
  if (r >= last_semicolon) return;
  std::int32_t w = r;
  while (r < n) {
    wchar_t c = s[r];
    if (c != L'&' || r > last_semicolon) {
      s[w++] = c;
      ++r;
      continue;
    }
    std::int32_t end = r + 1;
    while (s[end] != L';') ++end;
    wchar_t unit = reference_value(s + r + 1, static_cast<std::size_t>(end - r - 1));
    if (unit) s[w++] = unit;
    r = end + 1;
  }
  text.set_length(w);
}

}  // namespace kvxml
