#include "proxy/server_link.h"

#include <atomic>

#include "proxy/server_link_internal.h"

namespace kv {

namespace {

LONG no_lock() { return 0; }
void no_module_lock() {}

server_hooks installed{no_lock, no_lock, no_module_lock, no_module_lock};

// Zero is never a thread's identifier, so until the host records its thread every call is refused.
std::atomic<DWORD> recorded_main_thread{0};

}  // namespace

void set_server_hooks(const server_hooks& hooks) noexcept {
  installed.lock = hooks.lock ? hooks.lock : no_lock;
  installed.unlock = hooks.unlock ? hooks.unlock : no_lock;
  installed.enter_module_lock = hooks.enter_module_lock ? hooks.enter_module_lock : no_module_lock;
  installed.leave_module_lock = hooks.leave_module_lock ? hooks.leave_module_lock : no_module_lock;
}

void set_main_thread_id(DWORD thread_id) noexcept { recorded_main_thread.store(thread_id, std::memory_order_release); }

DWORD main_thread_id() noexcept { return recorded_main_thread.load(std::memory_order_acquire); }

namespace server_link {

LONG lock_server() noexcept { return installed.lock(); }
LONG unlock_server() noexcept { return installed.unlock(); }

module_lock_scope::module_lock_scope() noexcept { installed.enter_module_lock(); }
module_lock_scope::~module_lock_scope() { installed.leave_module_lock(); }

}  // namespace server_link

}  // namespace kv
