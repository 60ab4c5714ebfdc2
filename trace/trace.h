#pragma once
// The trace log: progress lines and failure reports of every component, appended to
// "TraceFile.kv" in the user's temporary folder while the registry switch is on.
// Every function keeps the thread's last-error value intact.
//
// `name` is the reporting function's qualified name ("LU_proxy_disp::call_function"); a name
// without ':' ("wWinMain") is shown behind the module base name and '!'.
// Formats are wide printf formats of the Windows runtime: "%ls" (or "%s") takes a wchar_t text.
#include <cstdint>

// A progress line; `tag` is printed in brackets (callers pass 0). `format` may be null.
void trace_line(const wchar_t* name, int tag, const wchar_t* format, ...);
// A failure or diagnostic message; callers' formats end with "\n".
void trace_report(const wchar_t* name, const wchar_t* format, ...);
// A result code (HRESULT or Win32 code) with the system's text for it.
void trace_result_code(const wchar_t* name, std::uint32_t code);
// The thread's last-error value with the system's text for it.
void trace_last_error(const wchar_t* name);
// Appends one text to the file (masking, switch, mutex, line prefixes). The four above end here.
void trace_write(const wchar_t* text);

namespace kv::trace_seam {
// Replaces the millisecond tick source of the 3000 ms switch cache (null restores GetTickCount).
void set_clock(std::uint32_t (*clock)());
// Forgets the cached switch verdict, so the next write reads the registry again.
void reset_cache();
// Registry scans made since start (or since the last reset_cache), for tests of the cache.
std::uint32_t registry_scans();
}  // namespace kv::trace_seam
