#pragma once
// The call path's side of server_link.h: what LU_proxy_disp calls of the installed hooks.
#include <windows.h>

namespace kv::server_link {

LONG lock_server() noexcept;
LONG unlock_server() noexcept;

// Holds the module lock for one scope.
class module_lock_scope {
 public:
  module_lock_scope() noexcept;
  ~module_lock_scope();
  module_lock_scope(const module_lock_scope&) = delete;
  module_lock_scope& operator=(const module_lock_scope&) = delete;
};

}  // namespace kv::server_link
