#pragma once
// What bench_server and bench_baseline_server share.
#include <windows.h>

namespace kv::bench {

// {7A0F4C55-3E2B-4B8E-9D14-6C0E2A51B9D3}
inline constexpr CLSID clsid_baseline = {0x7A0F4C55, 0x3E2B, 0x4B8E, {0x9D, 0x14, 0x6C, 0x0E, 0x2A, 0x51, 0xB9, 0xD3}};
inline constexpr wchar_t baseline_class_key[] = L"Software\\Classes\\CLSID\\{7A0F4C55-3E2B-4B8E-9D14-6C0E2A51B9D3}";
// Its own single-instance mutex, so that it runs beside DoDadev.exe.
inline constexpr wchar_t baseline_mutex[] = L"{7A0F4C55-3E2B-4B8E-9D14-6C0E2A51B9D3}-bench";

}  // namespace kv::bench
