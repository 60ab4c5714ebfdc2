#pragma once
// Helpers of the proxy tests: files beside the test program, COM for one test, and a reference
// owner for COM interfaces.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <utility>

#include "tests/support/beside_program.h"
#include "win/owners.h"

namespace proxy_test {

// The per-machine class key of the keystore provider, which recording_provider.dll writes.
inline constexpr wchar_t provider_class_key[] = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";

// Files that the build copies beside the test program (DoDadev.tlb, recording_provider.dll).
using kv::test::beside_program;

// COM as the server's main thread has it, and the COM pointer owner.
using kv::com_apartment;
using kv::com_ptr;

}  // namespace proxy_test
