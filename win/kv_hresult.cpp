#include "win/kv_hresult.h"

#include <cstdio>

namespace kv::detail {

#ifndef NDEBUG
void note_failure_origin(HRESULT hr, const char* file, int line) noexcept {
  char text[512];
  std::snprintf(text, sizeof text, "%s(%d): failed 0x%08lX\n", file, line, static_cast<unsigned long>(hr));
  OutputDebugStringA(text);
}
#endif

}  // namespace kv::detail
