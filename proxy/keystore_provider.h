#pragma once
// IKeystoreProvider: the interface of the local keystore provider, an in-process COM component
// outside this system that does all keystore work. The server creates one instance per command
// (proxy/provider_factory.h), makes one call and releases it.
//
// The slot order and the argument order are the binary contract with every provider; never
// reorder, insert or remove a method.
//
// Conventions for every method:
// - The result is an HRESULT that the server passes on unchanged; a negative value is a failure.
// - Texts are NUL-terminated UTF-16, read-only, owned by the caller and valid for the call only.
//   They are never null, except a password where the method says "or null".
// - A GUID is a pointer to 16 bytes owned by the caller.
// - A certificate is the address of the caller's KV_certificate (the provider runs in the
//   server's process and reads it directly), with or without a certificate context. Borrowed for
//   the call; the provider must not keep it or the context.
// - An out text (BSTR*) is set to null by the caller before the call. The provider allocates the
//   BSTR (SysAllocString / SysAllocStringLen); the caller frees it with SysFreeString.
// - Path lists are texts each ended by NUL, the list ended by an empty text ("a\0b\0\0").
#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

class KV_certificate;

// {B9F13557-90B9-4243-8BEE-E684EBF97C49}
inline constexpr CLSID CLSID_KeystoreProvider = {
    0xB9F13557, 0x90B9, 0x4243, {0x8B, 0xEE, 0xE6, 0x84, 0xEB, 0xF9, 0x7C, 0x49}};
// {32308C06-C2D4-4C82-9ED4-C3FA25BEA9D4}
inline constexpr IID IID_IKeystoreProvider = {
    0x32308C06, 0xC2D4, 0x4C82, {0x9E, 0xD4, 0xC3, 0xFA, 0x25, 0xBE, 0xA9, 0xD4}};

MIDL_INTERFACE("32308C06-C2D4-4C82-9ED4-C3FA25BEA9D4")
IKeystoreProvider : public IUnknown {
 public:
  // Slot 3. Present in every provider's table but never called by the server.
  virtual HRESULT STDMETHODCALLTYPE ReservedNeverCalled() = 0;

  // Slot 4. populated: 0 or 1. drives: out path list (provider allocates, caller frees).
  virtual HRESULT STDMETHODCALLTYPE GetDrives(INT32 populated, UINT32 types, BSTR* drives) = 0;
  // Slot 5. folder: out single path (provider allocates, caller frees).
  virtual HRESULT STDMETHODCALLTYPE GetFolder(const wchar_t* drive, BSTR* folder) = 0;
  // Slot 6. path: out single path (provider allocates, caller frees); the server uses it only when
  // the result is exactly S_OK.
  virtual HRESULT STDMETHODCALLTYPE GetPath(const wchar_t* drive, BSTR* path) = 0;
  // Slot 7. type: out number, preset to 0 by the caller, written by the provider.
  virtual HRESULT STDMETHODCALLTYPE GetType(const wchar_t* drive, UINT32* type) = 0;
  // Slot 8. paths: out path list (provider allocates, caller frees).
  virtual HRESULT STDMETHODCALLTYPE LocateKey(const GUID* id, BSTR* paths) = 0;
  // Slot 9.
  virtual HRESULT STDMETHODCALLTYPE CreateCert(const wchar_t* drive, const KV_certificate* certificate) = 0;
  // Slot 10.
  virtual HRESULT STDMETHODCALLTYPE CreatePwd(const wchar_t* drive, const wchar_t* password) = 0;
  // Slot 11. def_local_key: 0 or 1.
  virtual HRESULT STDMETHODCALLTYPE CreateKeyCert(const wchar_t* drive, const wchar_t* name, UINT32 timeout,
                                                  INT32 def_local_key) = 0;
  // Slot 12. password: or null. def_local_key: 0 or 1.
  virtual HRESULT STDMETHODCALLTYPE CreateKey(const wchar_t* drive, const wchar_t* password, const wchar_t* name,
                                              UINT32 timeout, INT32 def_local_key) = 0;
  // Slot 13.
  virtual HRESULT STDMETHODCALLTYPE DeleteKey(const wchar_t* drive, const GUID* id) = 0;
  // Slot 14.
  virtual HRESULT STDMETHODCALLTYPE RenameKey(const wchar_t* drive, const GUID* id, const wchar_t* new_name) = 0;
  // Slot 15.
  virtual HRESULT STDMETHODCALLTYPE ExportKey(const wchar_t* drive, const GUID* id, const wchar_t* export_path,
                                              const wchar_t* export_password) = 0;
  // Slot 16.
  virtual HRESULT STDMETHODCALLTYPE ImportCert(const wchar_t* drive, const wchar_t* import_path,
                                               const KV_certificate* certificate) = 0;
  // Slot 17. password: or null.
  virtual HRESULT STDMETHODCALLTYPE Import(const wchar_t* drive, const wchar_t* import_path,
                                           const wchar_t* password) = 0;
  // Slot 18.
  virtual HRESULT STDMETHODCALLTYPE RecoverCert(const wchar_t* drive, const KV_certificate* new_certificate) = 0;
  // Slot 19.
  virtual HRESULT STDMETHODCALLTYPE RecoverPwd(const wchar_t* drive, const wchar_t* new_password) = 0;
  // Slot 20.
  virtual HRESULT STDMETHODCALLTYPE ChangeTokenCert(const wchar_t* drive, const KV_certificate* new_certificate) = 0;
  // Slot 21.
  virtual HRESULT STDMETHODCALLTYPE ChangeTokenPwd(const wchar_t* drive, const wchar_t* new_password) = 0;
  // Slot 22. The result is the answer.
  virtual HRESULT STDMETHODCALLTYPE VerifyPwdHistory(const wchar_t* drive, const wchar_t* new_password) = 0;
  // Slot 23. The result is the answer.
  virtual HRESULT STDMETHODCALLTYPE VerifyLastPwd(const wchar_t* drive, const wchar_t* new_password) = 0;
};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IKeystoreProvider, 0x32308C06, 0xC2D4, 0x4C82, 0x9E, 0xD4, 0xC3, 0xFA, 0x25, 0xBE, 0xA9, 0xD4)
#endif
