#pragma once
// The IUnknown of a plain heap COM object: QueryInterface answers IUnknown and the listed
// interface ids with the object as `Interface`; the interlocked count starts at 1 for the
// creator, and the last Release deletes the object through its own class's operator delete.
#include <windows.h>
#include <unknwn.h>

#include <new>
#include <utility>

#include "win/owners.h"

namespace kv {

template <typename Interface, const IID*... Iids>
class com_object : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || ((iid == *Iids) || ...)) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 protected:
  com_object() = default;
  com_object(const com_object&) = delete;
  com_object& operator=(const com_object&) = delete;
  virtual ~com_object() = default;

 private:
  LONG references_ = 1;
};

// Makes a T from `args` and answers its interface `iid` in *object; the creator's reference is
// let go either way, so a refused interface ends the object.
template <typename T, typename... Args>
HRESULT make_com_object(REFIID iid, void** object, Args&&... args) {
  if (!object) return E_POINTER;
  *object = nullptr;
  com_ptr<T> made;
  try {
    made = com_ptr<T>(new T(std::forward<Args>(args)...));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return made->QueryInterface(iid, object);
}

}  // namespace kv
