#include "pugixml_reference.h"

#include <pugixml.hpp>

#include <chrono>

double pugixml_best_parse_seconds(const unsigned char* bytes, std::size_t size, int reps) {
  double best = -1;
  for (int i = 0; i < reps; ++i) {
    pugi::xml_document doc;
    auto start = std::chrono::steady_clock::now();
    pugi::xml_parse_result result = doc.load_buffer(bytes, size, pugi::parse_default, pugi::encoding_utf16_le);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!result) return -1;
    if (best < 0 || seconds < best) best = seconds;
  }
  return best;
}
