#include "server/command_line.h"

#include "types/wide.h"

namespace kv {

namespace {

bool is_blank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }

// True when `text` starts with `word` (letter case ignored) and a blank or the end follows it.
bool starts_with_word(const wchar_t* text, const wchar_t* word) noexcept {
  for (; *word; ++text, ++word) {
    if (fold_ascii(*text) != fold_ascii(*word)) return false;
  }
  return *text == 0 || is_blank(*text);
}

struct switch_name {
  const wchar_t* name;
  server_switch value;
};

constexpr switch_name switch_names[] = {
    {L"RegServer", server_switch::reg_server},
    {L"UnregServer", server_switch::unreg_server},
    {L"RegServerPerUser", server_switch::reg_server_per_user},
    {L"UnregServerPerUser", server_switch::unreg_server_per_user},
};

}  // namespace

const wchar_t* skip_program_path(const wchar_t* command_line, const wchar_t* program_path) noexcept {
  if (!command_line) return nullptr;
  const wchar_t* at = command_line;
  if (*at == L'"') {
    ++at;
    while (*at && *at != L'"') ++at;
    return *at ? at + 1 : at;
  }
  if (program_path && *program_path && starts_with_word(at, program_path)) return at + wide_length(program_path);
  while (*at && !is_blank(*at)) ++at;
  return at;
}

server_switch find_server_switch(const wchar_t* command_line, const wchar_t* program_path) noexcept {
  const wchar_t* at = skip_program_path(command_line, program_path);
  if (!at) return server_switch::none;
  for (; *at; ++at) {
    if (*at != L'-' && *at != L'/') continue;
    for (const switch_name& entry : switch_names) {
      if (starts_with_word(at + 1, entry.name)) return entry.value;
    }
  }
  return server_switch::none;
}

}  // namespace kv
