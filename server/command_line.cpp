#include "server/command_line.h"

#include <cstddef>

#include "types/wide.h"

namespace kv {

namespace {

bool is_blank(wchar_t c) noexcept { return c == L' ' || c == L'\t'; }
bool is_switch_mark(wchar_t c) noexcept { return c == L'-' || c == L'/'; }
bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/' || c == L':'; }

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

// The file name part of the program's path ("DoDadev.exe"); empty for a null path.
const wchar_t* file_name_of(const wchar_t* program_path) noexcept {
  if (!program_path) return L"";
  const wchar_t* name = program_path;
  for (const wchar_t* c = program_path; *c; ++c) {
    if (is_separator(*c)) name = c + 1;
  }
  return name;
}

// True when the text from `start` to `end` ends with the file name `name` as a whole path segment.
bool ends_with_file_name(const wchar_t* start, const wchar_t* end, const wchar_t* name) noexcept {
  const std::size_t length = wide_length(name);
  if (length == 0 || static_cast<std::size_t>(end - start) < length) return false;
  const wchar_t* segment = end - length;
  return (segment == start || is_separator(segment[-1])) && starts_with(segment, name, length);
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
  if (program_path && *program_path) {
    const std::size_t length = wide_length(program_path);
    if (starts_with(at, program_path, length) &&
        (at[length] == 0 || is_blank(at[length]) || is_switch_mark(at[length]))) {
      return at + length;
    }
  }
  // Another spelling of the path (a short or relative one) ends at a blank, or at a switch glued
  // to the program's own file name: "-" and "/" inside folder names are part of the path.
  const wchar_t* name = file_name_of(program_path);
  for (; *at && !is_blank(*at); ++at) {
    if (is_switch_mark(*at) && ends_with_file_name(command_line, at, name)) return at;
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
