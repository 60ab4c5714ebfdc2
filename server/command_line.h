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

// The command line without what is certainly the program path: a leading quoted path (COM starts
// the server through its quoted LocalServer32 value), or `program_path` itself (letter case
// ignored) when the text starts with it and a blank, "-", "/" or the end follows. Anything else is
// left to the switch search: a launcher may pass the arguments alone, or the program under
// another spelling (a short name, no ".exe"), and a quote that never closes skips nothing. Null
// gives null.
const wchar_t* skip_program_path(const wchar_t* command_line, const wchar_t* program_path) noexcept;

// Searches what follows the program path for "-" or "/" followed by "RegServer", "UnregServer",
// "RegServerPerUser" or "UnregServerPerUser" in any letter case, ending at the end of the text, a
// space or a tab ("C:\tools\-RegServer\DoDadev.exe" holds none). The first match wins; a word that
// matches nothing is passed over and the search goes on after its "-" or "/". `program_path` may
// be null.
server_switch find_server_switch(const wchar_t* command_line, const wchar_t* program_path) noexcept;

}  // namespace kv
