#pragma once
// Named mutexes that serialise work across processes of a logon session ("Local\") or of the
// whole machine ("Global\"). They are created with a null DACL, so that any account can open
// them, and with inheritable handles.
#include <windows.h>

#include "types/kv_string.h"
#include "types/kv_types.h"
#include "win/owners.h"

// "Global\" + name when `global` is non-zero, else "Local\" + name; a null name gives a null
// string. Throws std::bad_alloc.
KV_string make_mutex_name(const wchar_t* name, int global);

// Length 24, a new descriptor (revision 1) with a present, null DACL, handle inheritance on.
// Null when memory runs out. Free with free_security_attributes (null is ignored), or hold in
// kv::unique_security_attributes (types/owners.h).
SECURITY_ATTRIBUTES* make_open_security_attributes() noexcept;
void free_security_attributes(SECURITY_ATTRIBUTES* attributes) noexcept;

// Creates or opens the mutex; null on failure. With `initial_owner` non-zero the caller owns
// the mutex on return whenever a handle came back: an existing mutex is waited for without a
// timeout. The caller releases (when it owns it) and closes the handle. A null name gives an
// unnamed mutex. Throws std::bad_alloc.
HANDLE open_named_mutex(const wchar_t* name, int global, int initial_owner);

class KV_mutex : public KV_types {
 public:
  // As open_named_mutex, keeping the handle (null when creation failed) and the prefixed name.
  KV_mutex(const wchar_t* name, int global, int initial_owner);
  KV_mutex(const KV_mutex&) = delete;
  KV_mutex& operator=(const KV_mutex&) = delete;
  // Closes the handle without releasing ownership first.
  virtual ~KV_mutex();

  // Waits for the mutex or, when given, `other`, whichever comes first. True only when the
  // mutex is now owned normally. A timeout sets *timed_out; everything else (`other`
  // signalled, an abandoned mutex, a failure, a null handle) answers false with *timed_out
  // clear. `timed_out` may be null.
  virtual bool wait_with(HANDLE other, DWORD timeout_ms, bool* timed_out);
  // wait_with() without a second handle.
  virtual bool wait(DWORD timeout_ms, bool* timed_out);
  // ReleaseMutex's result.
  virtual bool release();
  virtual HANDLE handle() const;
  // The prefixed name; null for an unnamed mutex.
  virtual const wchar_t* name() const;

 private:
  kv::unique_handle handle_;
  KV_string name_;
};

// One node of the interface association list: a polymorphic object with its own link.
// Nodes live on the system's heap and are deleted by the list.
class KV_interface_association {
 public:
  KV_interface_association() = default;
  KV_interface_association(const KV_interface_association&) = delete;
  KV_interface_association& operator=(const KV_interface_association&) = delete;
  virtual ~KV_interface_association();

  static void* operator new(std::size_t bytes);
  static void operator delete(void* block) noexcept;

  KV_interface_association* next = nullptr;
};

// A list head that owns its nodes and deletes each through its virtual destructor.
class KV_interface_association_list {
 public:
  KV_interface_association_list() = default;
  KV_interface_association_list(const KV_interface_association_list&) = delete;
  KV_interface_association_list& operator=(const KV_interface_association_list&) = delete;
  virtual ~KV_interface_association_list();

  KV_interface_association* first = nullptr;
};

namespace kv {
// The process-wide list: built before main, destroyed at exit. Nothing adds to it.
extern KV_interface_association_list interface_associations;
}  // namespace kv
