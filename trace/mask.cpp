// Masking of secrets: what follows an XML tag "<secret>" never reaches the trace file.
#include "trace/trace_internal.h"

namespace kv::trace_detail {

namespace {

constexpr wchar_t secret_tag[] = L"<secret>";
constexpr std::size_t secret_tag_length = sizeof secret_tag / sizeof secret_tag[0] - 1;

bool starts_with_tag(const wchar_t* at) noexcept {
  for (std::size_t i = 0; i < secret_tag_length; ++i)
    if (at[i] != secret_tag[i]) return false;  // also stops at the terminator
  return true;
}

}  // namespace

void mask_secrets(wchar_t* text) noexcept {
  if (!text) return;
  while (*text) {
    if (!starts_with_tag(text)) {
      ++text;
      continue;
    }
    text += secret_tag_length;
    for (; *text && *text != L'<'; ++text) *text = L'*';
  }
}

}  // namespace kv::trace_detail
