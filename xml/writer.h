#pragma once
// The XML writer: one element per line, two spaces of indentation per level, CR LF line ends.
// Elements are never written self-closed; the declaration has no closing tag.
#include <cstddef>

#include "xml/kvxml_node.h"
#include "xml/kvxml_string.h"

namespace kvxml {

// Appends the node and its subtree to `out`, the node indented by 2 x depth spaces; a null node
// writes nothing. Throws std::bad_alloc when the output cannot grow.
void write_node(int depth, const KVXML_node* node, KVXML_string& out);

// Replaces " & ' < > in place by &quot; &amp; &#39; &lt; &gt;; a text without them is left as it is.
void encode_references(KVXML_string& text);

// Appends the text to `out` with those five characters replaced.
void append_encoded(KVXML_string& out, const wchar_t* text, std::size_t length);

}  // namespace kvxml
