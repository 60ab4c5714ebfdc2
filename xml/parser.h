#pragma once
// The XML reader: a single pass over a zero-terminated wide text that accepts the small subset
// requests use (a declaration, nested elements, quoted attributes, text, comments, character
// references) and gives up on anything else. Positions are pointers into the text; null means
// failure. No state is kept between calls.
#include "xml/kvxml_node.h"
#include "xml/kvxml_string.h"
#include "xml/node_pages.h"

namespace kvxml {

// A loaded tree may be this deep, its root declaration counting as the first level (a
// declaration holds what follows it, so a chain of them nests). Deeper text is refused like any
// malformed document. Counting the tree rather than the text keeps every saved document, which
// always begins with a declaration, loadable again.
constexpr int max_depth = 256;

// Reads sibling elements into `parent` until the end of the text or a closing tag, and returns
// where it stopped, or null on failure. `level` is the depth in the loaded tree of the elements
// read; `document_top` marks the call for the document's own root, whose first element, when
// it is a declaration, takes the root's place (depth 1). A failing element is freed with its
// partial subtree; elements completed before it stay with their parents. The nodes and attributes
// read take their memory from `pages` when given. Throws std::bad_alloc.
const wchar_t* parse_elements(KVXML_node* parent, const wchar_t* p, int level, bool document_top = false,
                              page_scope* pages = nullptr);

// Reads the attributes after a tag name up to and including the tag's ">", and returns the
// position after it with white space and comments skipped, or null on failure.
const wchar_t* parse_attributes(const wchar_t* p, KVXML_node* node, bool& self_closing, page_scope* pages = nullptr);

// The first position that is neither white space nor inside a comment; an unterminated
// comment runs to the end of the text.
const wchar_t* skip_space_and_comments(const wchar_t* p) noexcept;

// At a "<" (optionally followed by "/"): the tag name into `name`, and the position after it with
// white space and comments skipped; null when not at "<" or nothing follows.
const wchar_t* read_tag_name(const wchar_t* p, KVXML_string& name);

// The code page in which byte text is to be read, from its first tag: 65001 when it is a
// declaration whose encoding is "UTF-8", else 0 (the ANSI code page).
unsigned detect_encoding(const wchar_t* text);

// Replaces the character references of the text in place: amp, quot, apos, lt, gt (any letter
// case) and decimal "#n"; other references vanish; an "&" with no ";" after it stays.
void decode_references(KVXML_string& text) noexcept;

}  // namespace kvxml
