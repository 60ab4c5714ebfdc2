#include "server/command_line.h"

#include <cstddef>

#include "types/wide.h"

namespace kv {

namespace {

bool is_blank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }
bool is_switch_mark(wchar_t c) noexcept { return c == L'-' || c == L'/'; }

// True when `text` starts with `word` (letter case ignored); `length` units of `word` are compared.
bool starts_with(const wchar_t* text, const wchar_t* word, std::size_t length) noexcept {
  for (std::size_t i = 0; i < length; ++i) {
    if (fold_ascii(text[i]) != fold_ascii(word[i])) return false;
  }
  return true;
}

// True when `text` starts with `word` (letter case ignored) and a blank or the end follows it.
bool starts_with_word(const wchar_t* text, const wchar_t* word) noexcept {
  const std::size_t length = wide_length(word);
  return starts_with(text, word, length) && (text[length] == 0 || is_blank(text[length]));
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
    const wchar_t* close = at + 1;
    while (*close && *close != L'"') ++close;
    return *close ? close + 1 : at;
  }
  if (program_path && *program_path) {
    const std::size_t length = wide_length(program_path);
    if (starts_with(at, program_path, length) &&
        (at[length] == 0 || is_blank(at[length]) || is_switch_mark(at[length]))) {
      return at + length;
    }
  }
  return at;
}

server_switch find_server_switch(const wchar_t* command_line, const wchar_t* program_path) noexcept {
  const wchar_t* at = skip_program_path(command_line, program_path);
  if (!at) return server_switch::none;
  for (; *at; ++at) {
    if (!is_switch_mark(*at)) continue;
    for (const switch_name& entry : switch_names) {
      if (starts_with_word(at + 1, entry.name)) return entry.value;
    }
  }
  return server_switch::none;
}

}  // namespace kv
