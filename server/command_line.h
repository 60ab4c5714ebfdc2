#pragma once
// The registration switches of the server's command line.
#include <windows.h>

namespace kv {

enum class server_switch {
  none,  // run the server
  reg_server,
  unreg_server,
  reg_server_per_user,
  unreg_server_per_user,
};

// The arguments of `command_line`, i.e. what follows the program path. A quoted path ends at its
// closing quote. An unquoted one is taken to be `program_path` when the text starts with it
// (letter case ignored) and a blank, "-", "/" or the end follows, since an unquoted path may hold
// blanks; otherwise it ends at the first blank, or at a "-" or "/" that directly follows the file
// name of `program_path` ("DoDadev.exe/RegServer"), never at one inside a folder name. Null gives
// null.
const wchar_t* skip_program_path(const wchar_t* command_line, const wchar_t* program_path) noexcept;

// Searches the arguments (never the program path) for "-" or "/" followed by "RegServer",
// "UnregServer", "RegServerPerUser" or "UnregServerPerUser" in any letter case, ending at the end
// of the text, a space or a tab. The first match wins; a word that matches nothing is passed over
// and the search goes on after its "-" or "/". `program_path` may be null.
server_switch find_server_switch(const wchar_t* command_line, const wchar_t* program_path) noexcept;

}  // namespace kv
