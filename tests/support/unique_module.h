#pragma once
// An owned loaded DLL (Windows only). Tests and benchmarks load provider DLLs themselves to call
// their entries; the product loads none this way, so the owner lives here.
#include <windows.h>

#include "win/owners.h"

namespace kv::test {

namespace close_fn {
inline void module(HMODULE value) noexcept { FreeLibrary(value); }
}  // namespace close_fn

using unique_module = kv::unique_any<HMODULE, close_fn::module>;

}  // namespace kv::test
