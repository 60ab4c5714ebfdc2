/*
 * DoDadev keystore provider interface: everything a keystore provider needs, for C and C++.
 * Depends only on the Windows SDK headers; compiles as C11 and as C++11 or later.
 * docs/provider-interface.md says what each command passes, which answers are expected and how
 * they are used; samples/provider-c/ is a complete provider in C.
 *
 * A provider is an in-process COM class registered per machine under CLSID_KeystoreProvider
 * (HKLM\Software\Classes\CLSID\{B9F13557-...}\InprocServer32; Wine activates nothing else).
 *
 * Lifetime and threads: for every command the server creates one provider object with
 * CoCreateInstance(CLSID_KeystoreProvider, NULL, CLSCTX_INPROC_SERVER, IID_IKeystoreProvider),
 * on its main thread (a single-threaded apartment), makes exactly one call and releases the
 * object right after, still on that thread. No state survives in the object between commands.
 * Every argument stays valid until the server's Release of the object has returned.
 * The server never unloads the DLL: a new version takes effect in servers started after it is in
 * place. A fault or an exception leaving a method ends the server on Windows (the COM runtime's
 * catching is switched off); answer an HRESULT instead.
 *
 * Versioning: nothing in this interface (IID, slots, arguments, the descriptor's layout) ever
 * changes; additions come as a new interface with a new IID.
 *
 * Rules for every operation:
 * - The answer is an HRESULT; the server passes it on to its client unchanged. A negative value
 *   is a failure.
 * - Texts are NUL-terminated UTF-16, read-only, owned by the server. Never NULL, except a password
 *   marked "or NULL".
 * - A GUID is a pointer to 16 bytes owned by the server; never NULL.
 * - A certificate is a pointer to the server's KV_provider_certificate (below); never NULL, its
 *   context may be NULL. Borrowed: keep neither the descriptor nor the context (duplicate the
 *   context with CertDuplicateCertificateContext to keep it).
 * - An out text (BSTR *) arrives set to NULL. The provider allocates it with SysAllocString or
 *   SysAllocStringLen and the server frees it with SysFreeString. Leaving it NULL is allowed
 *   (an empty path or an empty list).
 * - A path list is one BSTR holding texts each ended by NUL, the list ended by an empty text:
 *   "C:\\\0E:\\\0\0" (SysAllocStringLen with the exact length).
 */
#ifndef DODADEV_KEYSTORE_PROVIDER_H
#define DODADEV_KEYSTORE_PROVIDER_H

#include <windows.h>
#include <wincrypt.h>
#include <oleauto.h>
#include <unknwn.h>
#include <stddef.h>

/*
 * {B9F13557-90B9-4243-8BEE-E684EBF97C49}, {32308C06-C2D4-4C82-9ED4-C3FA25BEA9D4}
 * C++17 and later get one object for the whole program; C and C++11/14 get a copy per
 * translation unit (compare GUIDs with IsEqualGUID, never by address).
 */
#if defined(__cplusplus) && (__cplusplus >= 201703L || (defined(_MSVC_LANG) && _MSVC_LANG >= 201703L))
inline constexpr CLSID CLSID_KeystoreProvider = {
    0xB9F13557, 0x90B9, 0x4243, {0x8B, 0xEE, 0xE6, 0x84, 0xEB, 0xF9, 0x7C, 0x49}};
inline constexpr IID IID_IKeystoreProvider = {
    0x32308C06, 0xC2D4, 0x4C82, {0x9E, 0xD4, 0xC3, 0xFA, 0x25, 0xBE, 0xA9, 0xD4}};
#else
static const CLSID CLSID_KeystoreProvider = {
    0xB9F13557, 0x90B9, 0x4243, {0x8B, 0xEE, 0xE6, 0x84, 0xEB, 0xF9, 0x7C, 0x49}};
static const IID IID_IKeystoreProvider = {
    0x32308C06, 0xC2D4, 0x4C82, {0x9E, 0xD4, 0xC3, 0xFA, 0x25, 0xBE, 0xA9, 0xD4}};
#endif

/*
 * The certificate descriptor as the provider sees it: the server's own object, whose first field
 * is its vtable pointer (slot 0 the destructor). Read the fields; never call through the vtable,
 * write, copy or free anything in it.
 */
typedef struct KV_provider_text {
  const void *server_vtable;
  const WCHAR *text; /* NUL-terminated, or NULL */
  const char *server_reserved;
} KV_provider_text;

typedef struct KV_provider_certificate {
  const void *server_vtable;
  PCCERT_CONTEXT context;    /* NULL when the certificate is not in the user's "MY" store or is
                                revoked; the provider decides what that means */
  KV_provider_text texts[2]; /* descriptive texts; this server leaves both empty */
} KV_provider_certificate;

#ifdef _WIN64
/* The layout every provider relies on; the server's build checks its class against these. */
C_ASSERT(offsetof(KV_provider_text, text) == 8);
C_ASSERT(sizeof(KV_provider_text) == 24);
C_ASSERT(offsetof(KV_provider_certificate, context) == 8);
C_ASSERT(offsetof(KV_provider_certificate, texts) == 16);
C_ASSERT(sizeof(KV_provider_certificate) == 64);
#endif

/* IKeystoreProvider: the slot order and argument order are the contract; never change them. */
#if defined(__cplusplus) && !defined(CINTERFACE)

MIDL_INTERFACE("32308C06-C2D4-4C82-9ED4-C3FA25BEA9D4")
IKeystoreProvider : public IUnknown {
 public:
  /* 3: never called. */
  virtual HRESULT STDMETHODCALLTYPE ReservedNeverCalled() = 0;
  /* 4: populated 0 or 1; drives: out path list. */
  virtual HRESULT STDMETHODCALLTYPE GetDrives(INT32 populated, UINT32 types, BSTR *drives) = 0;
  /* 5: folder: out single path. */
  virtual HRESULT STDMETHODCALLTYPE GetFolder(LPCWSTR drive, BSTR *folder) = 0;
  /* 6: path: out single path, used only when the answer is exactly S_OK. */
  virtual HRESULT STDMETHODCALLTYPE GetPath(LPCWSTR drive, BSTR *path) = 0;
  /* 7: type: preset to 0 by the server. */
  virtual HRESULT STDMETHODCALLTYPE GetType(LPCWSTR drive, UINT32 *type) = 0;
  /* 8: paths: out path list. */
  virtual HRESULT STDMETHODCALLTYPE LocateKey(const GUID *id, BSTR *paths) = 0;
  /* 9 */
  virtual HRESULT STDMETHODCALLTYPE CreateCert(LPCWSTR drive, const KV_provider_certificate *certificate) = 0;
  /* 10 */
  virtual HRESULT STDMETHODCALLTYPE CreatePwd(LPCWSTR drive, LPCWSTR password) = 0;
  /* 11: def_local_key 0 or 1. */
  virtual HRESULT STDMETHODCALLTYPE CreateKeyCert(LPCWSTR drive, LPCWSTR name, UINT32 timeout,
                                                  INT32 def_local_key) = 0;
  /* 12: password or NULL; def_local_key 0 or 1. */
  virtual HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR drive, LPCWSTR password, LPCWSTR name, UINT32 timeout,
                                              INT32 def_local_key) = 0;
  /* 13 */
  virtual HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR drive, const GUID *id) = 0;
  /* 14 */
  virtual HRESULT STDMETHODCALLTYPE RenameKey(LPCWSTR drive, const GUID *id, LPCWSTR new_name) = 0;
  /* 15 */
  virtual HRESULT STDMETHODCALLTYPE ExportKey(LPCWSTR drive, const GUID *id, LPCWSTR export_path,
                                              LPCWSTR export_password) = 0;
  /* 16 */
  virtual HRESULT STDMETHODCALLTYPE ImportCert(LPCWSTR drive, LPCWSTR import_path,
                                               const KV_provider_certificate *certificate) = 0;
  /* 17: password or NULL. */
  virtual HRESULT STDMETHODCALLTYPE Import(LPCWSTR drive, LPCWSTR import_path, LPCWSTR password) = 0;
  /* 18 */
  virtual HRESULT STDMETHODCALLTYPE RecoverCert(LPCWSTR drive, const KV_provider_certificate *new_certificate) = 0;
  /* 19 */
  virtual HRESULT STDMETHODCALLTYPE RecoverPwd(LPCWSTR drive, LPCWSTR new_password) = 0;
  /* 20 */
  virtual HRESULT STDMETHODCALLTYPE ChangeTokenCert(LPCWSTR drive,
                                                    const KV_provider_certificate *new_certificate) = 0;
  /* 21 */
  virtual HRESULT STDMETHODCALLTYPE ChangeTokenPwd(LPCWSTR drive, LPCWSTR new_password) = 0;
  /* 22: the answer is the HRESULT. */
  virtual HRESULT STDMETHODCALLTYPE VerifyPwdHistory(LPCWSTR drive, LPCWSTR new_password) = 0;
  /* 23: the answer is the HRESULT. */
  virtual HRESULT STDMETHODCALLTYPE VerifyLastPwd(LPCWSTR drive, LPCWSTR new_password) = 0;
};
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IKeystoreProvider, 0x32308C06, 0xC2D4, 0x4C82, 0x9E, 0xD4, 0xC3, 0xFA, 0x25, 0xBE, 0xA9, 0xD4)
#endif

#else /* C: the same table as a struct of function pointers, `This` first. */

typedef interface IKeystoreProvider IKeystoreProvider;

typedef struct IKeystoreProviderVtbl {
  BEGIN_INTERFACE
  HRESULT(STDMETHODCALLTYPE *QueryInterface)(IKeystoreProvider *This, REFIID riid, void **object);
  ULONG(STDMETHODCALLTYPE *AddRef)(IKeystoreProvider *This);
  ULONG(STDMETHODCALLTYPE *Release)(IKeystoreProvider *This);
  HRESULT(STDMETHODCALLTYPE *ReservedNeverCalled)(IKeystoreProvider *This);
  HRESULT(STDMETHODCALLTYPE *GetDrives)(IKeystoreProvider *This, INT32 populated, UINT32 types, BSTR *drives);
  HRESULT(STDMETHODCALLTYPE *GetFolder)(IKeystoreProvider *This, LPCWSTR drive, BSTR *folder);
  HRESULT(STDMETHODCALLTYPE *GetPath)(IKeystoreProvider *This, LPCWSTR drive, BSTR *path);
  HRESULT(STDMETHODCALLTYPE *GetType)(IKeystoreProvider *This, LPCWSTR drive, UINT32 *type);
  HRESULT(STDMETHODCALLTYPE *LocateKey)(IKeystoreProvider *This, const GUID *id, BSTR *paths);
  HRESULT(STDMETHODCALLTYPE *CreateCert)(IKeystoreProvider *This, LPCWSTR drive,
                                         const KV_provider_certificate *certificate);
  HRESULT(STDMETHODCALLTYPE *CreatePwd)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR password);
  HRESULT(STDMETHODCALLTYPE *CreateKeyCert)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR name, UINT32 timeout,
                                            INT32 def_local_key);
  HRESULT(STDMETHODCALLTYPE *CreateKey)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR password, LPCWSTR name,
                                        UINT32 timeout, INT32 def_local_key);
  HRESULT(STDMETHODCALLTYPE *DeleteKey)(IKeystoreProvider *This, LPCWSTR drive, const GUID *id);
  HRESULT(STDMETHODCALLTYPE *RenameKey)(IKeystoreProvider *This, LPCWSTR drive, const GUID *id, LPCWSTR new_name);
  HRESULT(STDMETHODCALLTYPE *ExportKey)(IKeystoreProvider *This, LPCWSTR drive, const GUID *id,
                                        LPCWSTR export_path, LPCWSTR export_password);
  HRESULT(STDMETHODCALLTYPE *ImportCert)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR import_path,
                                         const KV_provider_certificate *certificate);
  HRESULT(STDMETHODCALLTYPE *Import)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR import_path,
                                     LPCWSTR password);
  HRESULT(STDMETHODCALLTYPE *RecoverCert)(IKeystoreProvider *This, LPCWSTR drive,
                                          const KV_provider_certificate *new_certificate);
  HRESULT(STDMETHODCALLTYPE *RecoverPwd)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password);
  HRESULT(STDMETHODCALLTYPE *ChangeTokenCert)(IKeystoreProvider *This, LPCWSTR drive,
                                              const KV_provider_certificate *new_certificate);
  HRESULT(STDMETHODCALLTYPE *ChangeTokenPwd)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password);
  HRESULT(STDMETHODCALLTYPE *VerifyPwdHistory)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password);
  HRESULT(STDMETHODCALLTYPE *VerifyLastPwd)(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password);
  END_INTERFACE
} IKeystoreProviderVtbl;

interface IKeystoreProvider {
  CONST_VTBL IKeystoreProviderVtbl *lpVtbl;
};

#endif

#endif /* DODADEV_KEYSTORE_PROVIDER_H */
