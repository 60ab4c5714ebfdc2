#pragma once
// LU_proxy_disp: the server's one COM class. Its dual interface LU_proxy_disp_i carries one
// method, call_function, that takes a coded XML request, performs it through the local keystore
// provider and answers a coded XML result. The parameter getters and the keystore operation are
// plain C++ methods beside it; they keep no state, so they are static.
//
// Objects are made by kv::create_lu_proxy_disp (proxy/server_link.h), alone or as the inner
// object of an aggregate. Each living object holds one server lock of the module.
#include <windows.h>
#include <oleauto.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>

#include "proxy/dodadev_h.h"
#include "proxy/server_link.h"
#include "types/kv_guid.h"
#include "types/kv_path.h"
#include "types/kv_paths.h"
#include "types/kv_string.h"
#include "win/kv_certificate.h"

namespace kv {
class parameter_reader;
}

class LU_proxy_disp final : public LU_proxy_disp_i {
 public:
  static void* operator new(std::size_t size);
  static void operator delete(void* block) noexcept;

  // IUnknown: delegates to the controlling unknown (the outer object when aggregated).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch, served from the registered type library DoDadevLib 1.0.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argument_error) override;

  // The request: `arg` in the call text coding (borrowed). Answers S_OK when the request was
  // performed or passed over (a function name without "keystore_"), S_FALSE when it was refused
  // or failed; the outcome itself always goes to *ret_code. On S_OK *ret receives a new coded
  // result the caller frees with SysFreeString, or NULL when there is none; on S_FALSE *ret is
  // left as passed, except after a failed result coding (then NULL).
  // Only the server's main thread may call; any other thread gets S_FALSE and E_FAIL.
  // In-process callers may pass null pointers, which COM marshalling never does:
  //   ret_code null: E_POINTER and nothing else happens but the progress line (there is nowhere
  //   to put the outcome);
  //   ret null: refused before anything is performed (after the thread check), S_FALSE with
  //   *ret_code E_POINTER, since the result of the operation could not be handed back.
  // Running out of memory anywhere gives S_FALSE with *ret_code E_OUTOFMEMORY.
  HRESULT STDMETHODCALLTYPE call_function(BSTR arg, BSTR* ret, LONG* ret_code) override;

  // Performs one keystore command: creates the provider, reads the command's parameters out of
  // `request` (the whole request document as text), makes the one provider call and, on
  // success, stores the result document in *result (a new BSTR, or NULL for commands without
  // one). On failure *result is untouched. Answers the provider's HRESULT, E_INVALIDARG for an
  // unknown command or a missing parameter, or the creation HRESULT when no provider could be
  // made. A null `result` gives E_POINTER before anything is done. Throws std::bad_alloc.
  static HRESULT keystore_perform_operation(const wchar_t* command, const wchar_t* request, BSTR* result);

  // The parameter getters. Each reads the parameter `name` of the first "function" element of
  // `request` and shares the ok flag: a flag of 0 on entry gives the default at once; otherwise
  // the flag becomes 1 when a value is delivered and 0 (with a trace report) when not. A null
  // `ok` gives the default without looking. Defaults: 0, empty string, empty path, zero GUID,
  // descriptor without certificate. Throw std::bad_alloc.
  static std::int32_t get_parameter_bool(const wchar_t* request, const wchar_t* name, std::int32_t* ok);
  static std::uint32_t get_parameter_uint(const wchar_t* request, const wchar_t* name, std::int32_t* ok);
  static KV_string get_parameter_strg(const wchar_t* request, const wchar_t* name, std::int32_t* ok);
  static KV_path get_parameter_path(const wchar_t* request, const wchar_t* name, std::int32_t* ok);
  static KV_guid get_parameter_guid(const wchar_t* request, const wchar_t* name, std::int32_t* ok);
  static KV_certificate get_parameter_cert(const wchar_t* request, const wchar_t* name, std::int32_t* ok);

  // The same conversions and reports, reading from a request that `reader` parses once for all
  // the parameters of a command (`name` must be one of the reader's names).
  static std::int32_t read_parameter_bool(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok);
  static std::uint32_t read_parameter_uint(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok);
  static KV_string read_parameter_strg(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok);
  static KV_path read_parameter_path(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok);
  static KV_guid read_parameter_guid(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok);
  static KV_certificate read_parameter_cert(kv::parameter_reader& reader, const wchar_t* name, std::int32_t* ok);

  // Result documents: U+FEFF, the declaration and one element, as a new BSTR.
  // Throw std::bad_alloc.
  static BSTR encode_path_result(const KV_path& path);
  static BSTR encode_paths_result(const KV_paths& paths);
  static BSTR encode_value_result(std::uint32_t value);

 private:
  friend HRESULT kv::create_lu_proxy_disp(IUnknown* outer, REFIID riid, void** object) noexcept;

  // The non-delegating IUnknown that an aggregate's outer object holds.
  class inner_unknown final : public IUnknown {
   public:
    explicit inner_unknown(LU_proxy_disp* owner) noexcept : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

   private:
    LU_proxy_disp* owner_;
  };

  explicit LU_proxy_disp(IUnknown* outer) noexcept;
  ~LU_proxy_disp();
  LU_proxy_disp(const LU_proxy_disp&) = delete;
  LU_proxy_disp& operator=(const LU_proxy_disp&) = delete;

  // The steps of call_function after the argument checks; throws std::bad_alloc. With `wipe_arg`
  // every unit of `arg` is zeroed once the request is decoded.
  HRESULT perform_call(BSTR arg, BSTR* ret, LONG* ret_code, bool wipe_arg);

  // True when COM's stub delivered the running call, so its strings are the stub's own copies,
  // which the stub frees unwiped after the call. `callers` are the return addresses above the
  // method (CaptureStackBackTrace skipping the method's own frame), caller first.
  static bool delivered_by_stub(void* const* callers, USHORT count) noexcept;

  // The call_function that Invoke makes through the type information, on this thread: the request
  // text it hands over is zeroed only when the dispatch call came through the stub, and never the
  // string that a by-reference argument names, which goes back to the caller.
  struct dispatched_call {
    bool through_stub;
    const wchar_t* caller_text;
  };
  static thread_local const dispatched_call* dispatching_;

  inner_unknown inner_;
  IUnknown* controlling_;  // the outer object, or inner_ when not aggregated
  bool aggregated_;
  LONG refs_ = 0;
};
