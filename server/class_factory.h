#pragma once
// The class factory of a server class: CreateInstance hands the call to the class's creator,
// LockServer takes or gives back a server reference of the module.
#include <windows.h>
#include <unknwn.h>

#include "server/dodadev_module.h"

namespace kv {

// A new factory for `creator`, answered as `riid`. The factory holds no server reference of its
// own; LockServer(TRUE) takes one through module.Lock(). The module must outlive it.
HRESULT create_class_factory(CDoDadevModule& module, object_creator creator, REFIID riid, void** object) noexcept;

}  // namespace kv
