#pragma once
// The owner of an MSIHANDLE that this code opened (a record, a view, a database), closed with
// MsiCloseHandle. Kept here rather than in types/owners.h, which must not need msi.lib.
#include <windows.h>
#include <msi.h>

#include "win/owners.h"

namespace kv::installer {

inline void close_msihandle(MSIHANDLE handle) noexcept { MsiCloseHandle(handle); }

using unique_msihandle = unique_any<MSIHANDLE, close_msihandle>;

}  // namespace kv::installer
