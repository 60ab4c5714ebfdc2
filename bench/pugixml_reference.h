#pragma once
// pugixml as the reference parser. Compiled in its own file with the library's own wchar_t size,
// since the rest of the host build uses 16-bit wchar_t.
#include <cstddef>

// Parses UTF-16LE bytes (with mark) into pugixml's DOM `reps` times; returns the best time in
// seconds, or a negative value when pugixml refuses the document.
double pugixml_best_parse_seconds(const unsigned char* bytes, std::size_t size, int reps);
