#include "win/kv_mutex.h"

#include "types/kv_alloc.h"

namespace {

// Steps shared by open_named_mutex and KV_mutex: create (or open) the mutex with the open
// security attributes and, when ownership was asked for and the mutex existed, wait for it.
HANDLE create_and_own(const KV_string& prefixed_name, int initial_owner) {
  kv::unique_security_attributes attributes(make_open_security_attributes());
  HANDLE mutex = CreateMutexW(attributes.get(), initial_owner ? TRUE : FALSE, prefixed_name.text());
  const DWORD created = GetLastError();
  attributes.reset();
  if (initial_owner && mutex && created == ERROR_ALREADY_EXISTS) WaitForSingleObject(mutex, INFINITE);
  return mutex;
}

}  // namespace

KV_string make_mutex_name(const wchar_t* name, int global) {
  if (!name) return KV_string(static_cast<const wchar_t*>(nullptr));
  KV_string prefixed(global ? L"Global\\" : L"Local\\");
  prefixed.append(name);
  return prefixed;
}

SECURITY_ATTRIBUTES* make_open_security_attributes() noexcept {
  auto* attributes = static_cast<SECURITY_ATTRIBUTES*>(kv::mem_alloc(sizeof(SECURITY_ATTRIBUTES)));
  void* descriptor = kv::mem_alloc(SECURITY_DESCRIPTOR_MIN_LENGTH);
  if (!attributes || !descriptor || !InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
    kv::mem_free(descriptor);
    kv::mem_free(attributes);
    return nullptr;
  }
  attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes->lpSecurityDescriptor = descriptor;
  attributes->bInheritHandle = TRUE;
  return attributes;
}

void free_security_attributes(SECURITY_ATTRIBUTES* attributes) noexcept {
  if (!attributes) return;
  kv::mem_free(attributes->lpSecurityDescriptor);
  kv::mem_free(attributes);
}

HANDLE open_named_mutex(const wchar_t* name, int global, int initial_owner) {
  return create_and_own(make_mutex_name(name, global), initial_owner);
}

KV_mutex::KV_mutex(const wchar_t* name, int global, int initial_owner) : name_(make_mutex_name(name, global)) {
  handle_.reset(create_and_own(name_, initial_owner));
}

KV_mutex::~KV_mutex() = default;

bool KV_mutex::wait_with(HANDLE other, DWORD timeout_ms, bool* timed_out) {
  if (timed_out) *timed_out = false;
  if (!handle_) return false;
  const HANDLE handles[2] = {handle_.get(), other};
  const DWORD result = WaitForMultipleObjects(other ? 2 : 1, handles, FALSE, timeout_ms);
  if (result == WAIT_OBJECT_0) return true;
  if (result == WAIT_TIMEOUT && timed_out) *timed_out = true;
  return false;
}

bool KV_mutex::wait(DWORD timeout_ms, bool* timed_out) { return wait_with(nullptr, timeout_ms, timed_out); }

bool KV_mutex::release() { return ReleaseMutex(handle_.get()) != FALSE; }

HANDLE KV_mutex::handle() const { return handle_.get(); }

const wchar_t* KV_mutex::name() const { return name_.text(); }

KV_interface_association::~KV_interface_association() = default;

void* KV_interface_association::operator new(std::size_t bytes) { return kv::mem_alloc_or_throw(bytes); }

void KV_interface_association::operator delete(void* block) noexcept { kv::mem_free(block); }

KV_interface_association_list::~KV_interface_association_list() {
  while (KV_interface_association* node = first) {
    first = node->next;
    delete node;
  }
}

namespace kv {
KV_interface_association_list interface_associations;
}  // namespace kv
