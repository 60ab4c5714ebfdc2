// The registration switches as the server reads them from its command line.
#include <gtest/gtest.h>

#include "server/command_line.h"

namespace {

using kv::server_switch;

struct switch_row {
  const char* name;
  const wchar_t* command_line;
  const wchar_t* program_path;
  server_switch expected;
};

constexpr wchar_t program[] = L"C:\\srv\\DoDadev.exe";
constexpr wchar_t odd_program[] = L"C:\\Apps\\-RegServer x\\DoDadev.exe";

TEST(cmdline, cmdline_switch_table) {
  const switch_row rows[] = {
      {"slash", L"\"C:\\srv\\DoDadev.exe\" /RegServer", program, server_switch::reg_server},
      {"lower case", L"\"C:\\srv\\DoDadev.exe\" /regserver", program, server_switch::reg_server},
      {"upper case after dash", L"\"C:\\srv\\DoDadev.exe\" -REGSERVER", program, server_switch::reg_server},
      {"unregister", L"\"C:\\srv\\DoDadev.exe\" /UnregServer", program, server_switch::unreg_server},
      {"per user", L"\"C:\\srv\\DoDadev.exe\" /RegServerPerUser", program, server_switch::reg_server_per_user},
      {"unregister per user", L"\"C:\\srv\\DoDadev.exe\" -unregserverperuser", program,
       server_switch::unreg_server_per_user},
      {"word goes on", L"\"C:\\srv\\DoDadev.exe\" /RegServerNow", program, server_switch::none},
      {"ends at a tab", L"\"C:\\srv\\DoDadev.exe\" /RegServer\t-x", program, server_switch::reg_server},
      {"first match wins", L"\"C:\\srv\\DoDadev.exe\" /UnregServer /RegServer", program, server_switch::unreg_server},
      {"unknown words are passed over", L"\"C:\\srv\\DoDadev.exe\" /Foo -Embedding /RegServer", program,
       server_switch::reg_server},
      {"COM's start-up argument runs", L"\"C:\\srv\\DoDadev.exe\" -Embedding", program, server_switch::none},
      {"no dash or slash", L"\"C:\\srv\\DoDadev.exe\" RegServer", program, server_switch::none},
      {"lone slash at the end", L"\"C:\\srv\\DoDadev.exe\" /", program, server_switch::none},
      {"blank after the slash", L"\"C:\\srv\\DoDadev.exe\" / RegServer", program, server_switch::none},
      {"dash inside a word", L"\"C:\\srv\\DoDadev.exe\" x-RegServer", program, server_switch::reg_server},
      {"switch glued to the quoted path", L"\"C:\\srv\\DoDadev.exe\"/RegServer", program, server_switch::reg_server},
      {"no arguments", L"\"C:\\srv\\DoDadev.exe\"", program, server_switch::none},
      {"empty command line", L"", program, server_switch::none},
      // A quote that never closes proves nothing about where the path ends.
      {"unterminated quote skips nothing", L"\"C:\\srv\\DoDadev.exe /RegServer", program, server_switch::reg_server},
      // What a launcher passes beside the application name, and other spellings of the program.
      {"switch alone", L"/RegServer", program, server_switch::reg_server},
      {"dash switch alone", L"-UnregServer", program, server_switch::unreg_server},
      {"switch alone without a program path", L"/RegServerPerUser", nullptr, server_switch::reg_server_per_user},
      {"glued to the short name", L"C:\\srv\\DODADE~1.EXE/RegServer", program, server_switch::reg_server},
      {"glued to the name without .exe", L"DoDadev/RegServer", program, server_switch::reg_server},
      {"switch word as a folder name", L"C:\\tools\\-RegServer\\DoDadev.exe", program, server_switch::none},
      {"quoted path holding a switch word", L"\"C:\\Apps\\-RegServer x\\DoDadev.exe\" -Embedding", odd_program,
       server_switch::none},
      {"quoted path holding a switch word, real switch after it",
       L"\"C:\\Apps\\-RegServer x\\DoDadev.exe\" /UnregServer", odd_program, server_switch::unreg_server},
      {"unquoted path holding a switch word", L"C:\\Apps\\-RegServer x\\DoDadev.exe -Embedding", odd_program,
       server_switch::none},
      {"unquoted path in other letter case", L"c:\\apps\\-regserver X\\dodadev.EXE", odd_program, server_switch::none},
      {"unquoted path holding a switch word, real switch after it",
       L"C:\\Apps\\-RegServer x\\DoDadev.exe -UnregServerPerUser", odd_program,
       server_switch::unreg_server_per_user},
      {"unquoted path without blanks", L"C:\\srv\\DoDadev.exe /RegServer", nullptr, server_switch::reg_server},
      // Without the program's own path an unquoted path ends at its first blank.
      {"unknown unquoted path with a blank before the word", L"C:\\a b\\-RegServer x\\DoDadev.exe", nullptr,
       server_switch::reg_server},
      {"known unquoted path with a blank before the word", L"C:\\a b\\-RegServer x\\DoDadev.exe",
       L"C:\\a b\\-RegServer x\\DoDadev.exe", server_switch::none},
      {"program path only a prefix of the first word", L"C:\\srv\\DoDadev.exe2 /RegServer", program,
       server_switch::reg_server},
      {"switch glued to the unquoted path", L"C:\\srv\\DoDadev.exe/RegServer", program, server_switch::reg_server},
      {"dash glued to the unquoted path", L"c:\\SRV\\dodadev.exe-unregserver", program, server_switch::unreg_server},
      {"glued to another spelling of the path", L"C:\\PROGRA~1\\DoDadev.exe/RegServer", program,
       server_switch::reg_server},
      {"glued to a relative path with slashes", L"tools/DoDadev.exe-RegServer", program, server_switch::reg_server},
      // Another spelling is searched whole: a folder that spells a switch before a blank is one.
      {"dash starting a folder of another spelling", L"C:\\a\\-RegServer x\\DoDadev.exe", program,
       server_switch::reg_server},
      {"dash in a folder of another spelling, switch glued", L"C:\\my-tools\\DoDadev.exe/UnregServer", program,
       server_switch::unreg_server},
      {"glued to a longer name", L"C:\\srv\\xDoDadev.exe-RegServer", program, server_switch::reg_server},
  };
  for (const switch_row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(kv::find_server_switch(row.command_line, row.program_path), row.expected);
  }
}

TEST(cmdline, cmdline_null_command_line_runs_the_server) {
  EXPECT_EQ(kv::find_server_switch(nullptr, program), server_switch::none);
  EXPECT_EQ(kv::skip_program_path(nullptr, program), nullptr);
}

TEST(cmdline, cmdline_skip_program_path_answers_the_arguments) {
  const wchar_t quoted[] = L"\"C:\\a b\\x.exe\" -Embedding";
  EXPECT_STREQ(kv::skip_program_path(quoted, nullptr), L" -Embedding");
  const wchar_t unquoted[] = L"C:\\a b\\x.exe\t/RegServer";
  EXPECT_STREQ(kv::skip_program_path(unquoted, L"C:\\a b\\x.exe"), L"\t/RegServer");
  EXPECT_STREQ(kv::skip_program_path(unquoted, nullptr), unquoted);
  EXPECT_STREQ(kv::skip_program_path(unquoted, L"C:\\a b\\x"), unquoted);
  const wchar_t unterminated[] = L"\"C:\\a b\\x.exe -Embedding";
  EXPECT_STREQ(kv::skip_program_path(unterminated, nullptr), unterminated);
}

}  // namespace
