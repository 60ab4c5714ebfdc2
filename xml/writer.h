#pragma once
// The XML writer: one element per line, two spaces of indentation per level, CR LF line ends.
// Elements are never written self-closed; the declaration has no closing tag.
#include <cstddef>
#include <cstdint>

#include "xml/kvxml_node.h"
#include "xml/kvxml_string.h"

namespace kvxml {

// Appends the node and its subtree to `out`, the node indented by 2 x depth spaces; a null node
// writes nothing. Throws std::bad_alloc when the output cannot grow.
void write_node(int depth, const KVXML_node* node, KVXML_string& out);

// The same in two steps, for a caller that owns the buffer: the number of units the node
// writes, then the writing of exactly that many units at `out` (no terminator). Both throw
// std::bad_alloc when the walk of a very deep tree cannot grow.
std::int64_t written_length(int depth, const KVXML_node* node);
void write_node_at(int depth, const KVXML_node* node, wchar_t* out);

// Replaces " & ' < > in place by &quot; &amp; &#39; &lt; &gt;; a text without them is left as it is.
void encode_references(KVXML_string& text);

// Appends the text to `out` with those five characters replaced.
void append_encoded(KVXML_string& out, const wchar_t* text, std::size_t length);

}  // namespace kvxml
