/*
 * A keystore provider in plain C, built against include/dodadev/keystore_provider.h alone.
 *
 * It keeps no keys; it shows the whole shape of a provider: the object and its table, the class
 * factory, the four DLL entry points and per-machine registration. What it answers:
 *   GetDrives        the machine's drive roots, as a path list
 *   GetFolder        "<drive>\Sample Keystore"
 *   GetPath          S_FALSE: there is no keystore file (the server then answers no path)
 *   GetType          GetDriveTypeW of the drive
 *   LocateKey        an empty list (a NULL out text)
 *   CreateCert, ImportCert, RecoverCert, ChangeTokenCert
 *                    S_OK when the descriptor holds a certificate context, else E_INVALIDARG
 *   anything else    E_NOTIMPL, which the server passes on to its client
 * Every call appends one line to its journal, "%TEMP%\dodadev-sample-provider.log" (UTF-16LE,
 * CRLF): the operation, the drive and, for a certificate, its serial number in hex.
 *
 * Register: regsvr32 dodadev_sample_provider.dll (per machine). Remove: regsvr32 /u ...
 */
#define CONST_VTABLE /* the tables below are const */
#include <windows.h>
#include <olectl.h>
#include <strsafe.h>

#include "dodadev/keystore_provider.h"

static HMODULE this_module;
static LONG live_objects;
static LONG server_locks;

static const WCHAR class_key[] = L"Software\\Classes\\CLSID\\{B9F13557-90B9-4243-8BEE-E684EBF97C49}";

/* ---- Journal ---- */

static void journal(const WCHAR *format, ...) {
  WCHAR path[MAX_PATH + 32];
  WCHAR line[512];
  va_list args;
  DWORD length = GetTempPathW(MAX_PATH, path);
  HANDLE file;
  size_t units = 0;
  DWORD written = 0;
  if (length == 0 || length > MAX_PATH) return;
  if (FAILED(StringCchCatW(path, ARRAYSIZE(path), L"dodadev-sample-provider.log"))) return;
  va_start(args, format);
  StringCchVPrintfW(line, ARRAYSIZE(line) - 2, format, args); /* a truncated line is still a line */
  va_end(args);
  StringCchCatW(line, ARRAYSIZE(line), L"\r\n");
  StringCchLengthW(line, ARRAYSIZE(line), &units);
  file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteFile(file, line, (DWORD)(units * sizeof(WCHAR)), &written, NULL);
  CloseHandle(file);
}

/* The serial number as people write it: most significant byte first (CERT_INFO holds it least
 * significant first). */
static void serial_text(PCCERT_CONTEXT context, WCHAR *text, size_t units) {
  const CRYPT_INTEGER_BLOB *serial = &context->pCertInfo->SerialNumber;
  static const WCHAR hex[] = L"0123456789ABCDEF";
  size_t at = 0;
  DWORD i;
  for (i = serial->cbData; i > 0 && at + 2 < units; --i) {
    text[at++] = hex[serial->pbData[i - 1] >> 4];
    text[at++] = hex[serial->pbData[i - 1] & 0xF];
  }
  text[at] = 0;
}

/* Every certificate operation comes here. The descriptor is the server's object; only its
 * context is read. */
static HRESULT use_certificate(const WCHAR *operation, LPCWSTR drive, const KV_provider_certificate *certificate) {
  WCHAR serial[2 * 64 + 1];
  if (!certificate || !certificate->context) {
    journal(L"%ls %ls no certificate", operation, drive);
    return E_INVALIDARG;
  }
  serial_text(certificate->context, serial, ARRAYSIZE(serial));
  journal(L"%ls %ls serial %ls", operation, drive, serial);
  return S_OK;
}

/* ---- The provider object ---- */

typedef struct sample_provider {
  IKeystoreProvider iface; /* first, so that the interface pointer is the object's address */
  LONG references;
} sample_provider;

static HRESULT STDMETHODCALLTYPE provider_query_interface(IKeystoreProvider *This, REFIID iid, void **object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, &IID_IKeystoreProvider)) {
    *object = This;
    This->lpVtbl->AddRef(This);
    return S_OK;
  }
  *object = NULL;
  return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE provider_add_ref(IKeystoreProvider *This) {
  return (ULONG)InterlockedIncrement(&((sample_provider *)This)->references);
}

static ULONG STDMETHODCALLTYPE provider_release(IKeystoreProvider *This) {
  const LONG left = InterlockedDecrement(&((sample_provider *)This)->references);
  if (left == 0) {
    HeapFree(GetProcessHeap(), 0, This);
    InterlockedDecrement(&live_objects);
  }
  return (ULONG)left;
}

static HRESULT STDMETHODCALLTYPE reserved_never_called(IKeystoreProvider *This) {
  return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE get_drives(IKeystoreProvider *This, INT32 populated, UINT32 types, BSTR *drives) {
  /* GetLogicalDriveStringsW writes exactly the path list form: "C:\\\0D:\\\0\0". */
  const DWORD units = GetLogicalDriveStringsW(0, NULL);
  journal(L"GetDrives %d %u", populated, types);
  if (!drives) return E_POINTER;
  if (units == 0) return HRESULT_FROM_WIN32(GetLastError());
  *drives = SysAllocStringLen(NULL, units); /* units counts the final empty text */
  if (!*drives) return E_OUTOFMEMORY;
  if (GetLogicalDriveStringsW(units, *drives) + 1 != units) {
    SysFreeString(*drives);
    *drives = NULL;
    return E_FAIL;
  }
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE get_folder(IKeystoreProvider *This, LPCWSTR drive, BSTR *folder) {
  WCHAR text[MAX_PATH];
  journal(L"GetFolder %ls", drive);
  if (!folder) return E_POINTER;
  if (FAILED(StringCchPrintfW(text, ARRAYSIZE(text), L"%ls\\Sample Keystore", drive))) return E_INVALIDARG;
  *folder = SysAllocString(text);
  return *folder ? S_OK : E_OUTOFMEMORY;
}

static HRESULT STDMETHODCALLTYPE get_path(IKeystoreProvider *This, LPCWSTR drive, BSTR *path) {
  journal(L"GetPath %ls", drive);
  return S_FALSE;
}

static HRESULT STDMETHODCALLTYPE get_type(IKeystoreProvider *This, LPCWSTR drive, UINT32 *type) {
  journal(L"GetType %ls", drive);
  if (!type) return E_POINTER;
  *type = GetDriveTypeW(drive);
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE locate_key(IKeystoreProvider *This, const GUID *id, BSTR *paths) {
  journal(L"LocateKey");
  return S_OK;
}

static HRESULT STDMETHODCALLTYPE create_cert(IKeystoreProvider *This, LPCWSTR drive,
                                             const KV_provider_certificate *certificate) {
  return use_certificate(L"CreateCert", drive, certificate);
}

static HRESULT STDMETHODCALLTYPE import_cert(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR import_path,
                                             const KV_provider_certificate *certificate) {
  return use_certificate(L"ImportCert", drive, certificate);
}

static HRESULT STDMETHODCALLTYPE recover_cert(IKeystoreProvider *This, LPCWSTR drive,
                                              const KV_provider_certificate *new_certificate) {
  return use_certificate(L"RecoverCert", drive, new_certificate);
}

static HRESULT STDMETHODCALLTYPE change_token_cert(IKeystoreProvider *This, LPCWSTR drive,
                                                   const KV_provider_certificate *new_certificate) {
  return use_certificate(L"ChangeTokenCert", drive, new_certificate);
}

/* The operations this sample does not do. */
static HRESULT not_done(const WCHAR *operation, LPCWSTR drive) {
  journal(L"%ls %ls not done", operation, drive);
  return E_NOTIMPL;
}

static HRESULT STDMETHODCALLTYPE create_pwd(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR password) {
  return not_done(L"CreatePwd", drive);
}

static HRESULT STDMETHODCALLTYPE create_key_cert(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR name,
                                                 UINT32 timeout, INT32 def_local_key) {
  return not_done(L"CreateKeyCert", drive);
}

static HRESULT STDMETHODCALLTYPE create_key(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR password, LPCWSTR name,
                                            UINT32 timeout, INT32 def_local_key) {
  return not_done(L"CreateKey", drive);
}

static HRESULT STDMETHODCALLTYPE delete_key(IKeystoreProvider *This, LPCWSTR drive, const GUID *id) {
  return not_done(L"DeleteKey", drive);
}

static HRESULT STDMETHODCALLTYPE rename_key(IKeystoreProvider *This, LPCWSTR drive, const GUID *id,
                                            LPCWSTR new_name) {
  return not_done(L"RenameKey", drive);
}

static HRESULT STDMETHODCALLTYPE export_key(IKeystoreProvider *This, LPCWSTR drive, const GUID *id,
                                            LPCWSTR export_path, LPCWSTR export_password) {
  return not_done(L"ExportKey", drive);
}

static HRESULT STDMETHODCALLTYPE import_key(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR import_path,
                                            LPCWSTR password) {
  return not_done(L"Import", drive);
}

static HRESULT STDMETHODCALLTYPE recover_pwd(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password) {
  return not_done(L"RecoverPwd", drive);
}

static HRESULT STDMETHODCALLTYPE change_token_pwd(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password) {
  return not_done(L"ChangeTokenPwd", drive);
}

static HRESULT STDMETHODCALLTYPE verify_pwd_history(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password) {
  return not_done(L"VerifyPwdHistory", drive);
}

static HRESULT STDMETHODCALLTYPE verify_last_pwd(IKeystoreProvider *This, LPCWSTR drive, LPCWSTR new_password) {
  return not_done(L"VerifyLastPwd", drive);
}

/* In slot order; the compiler checks each entry's type against the header's table. */
static const IKeystoreProviderVtbl provider_table = {
    provider_query_interface, provider_add_ref, provider_release, reserved_never_called,
    get_drives,               get_folder,       get_path,         get_type,
    locate_key,               create_cert,      create_pwd,       create_key_cert,
    create_key,               delete_key,       rename_key,       export_key,
    import_cert,              import_key,       recover_cert,     recover_pwd,
    change_token_cert,        change_token_pwd, verify_pwd_history, verify_last_pwd,
};

/* ---- Class factory: one static object that lives as long as the module ---- */

static HRESULT STDMETHODCALLTYPE factory_query_interface(IClassFactory *This, REFIID iid, void **object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(iid, &IID_IUnknown) || IsEqualIID(iid, &IID_IClassFactory)) {
    *object = This;
    return S_OK;
  }
  *object = NULL;
  return E_NOINTERFACE;
}

static ULONG STDMETHODCALLTYPE factory_add_ref(IClassFactory *This) {
  return 2;
}

static ULONG STDMETHODCALLTYPE factory_release(IClassFactory *This) {
  return 1;
}

static HRESULT STDMETHODCALLTYPE factory_create_instance(IClassFactory *This, IUnknown *outer, REFIID iid,
                                                         void **object) {
  sample_provider *provider;
  HRESULT hr;
  if (!object) return E_POINTER;
  *object = NULL;
  if (outer) return CLASS_E_NOAGGREGATION;
  provider = (sample_provider *)HeapAlloc(GetProcessHeap(), 0, sizeof *provider);
  if (!provider) return E_OUTOFMEMORY;
  provider->iface.lpVtbl = &provider_table;
  provider->references = 1;
  InterlockedIncrement(&live_objects);
  hr = provider->iface.lpVtbl->QueryInterface(&provider->iface, iid, object);
  provider->iface.lpVtbl->Release(&provider->iface);
  return hr;
}

static HRESULT STDMETHODCALLTYPE factory_lock_server(IClassFactory *This, BOOL lock) {
  if (lock) {
    InterlockedIncrement(&server_locks);
  } else {
    InterlockedDecrement(&server_locks);
  }
  return S_OK;
}

static const IClassFactoryVtbl factory_table = {factory_query_interface, factory_add_ref, factory_release,
                                          factory_create_instance, factory_lock_server};
static IClassFactory class_factory = {&factory_table};

/* ---- DLL entry points ---- */

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    this_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *object) {
  if (!object) return E_POINTER;
  *object = NULL;
  if (!IsEqualCLSID(clsid, &CLSID_KeystoreProvider)) return CLASS_E_CLASSNOTAVAILABLE;
  return class_factory.lpVtbl->QueryInterface(&class_factory, iid, object);
}

STDAPI DllCanUnloadNow(void) { return live_objects == 0 && server_locks == 0 ? S_OK : S_FALSE; }

static LONG set_text(HKEY key, const WCHAR *name, const WCHAR *text) {
  return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)((lstrlenW(text) + 1) * sizeof(WCHAR)));
}

/* Per machine: Wine activates only classes under HKEY_LOCAL_MACHINE. The server creates the
 * provider on its single-threaded main thread, so "Apartment" is enough. */
STDAPI DllRegisterServer(void) {
  WCHAR module[MAX_PATH];
  HKEY class_entry = NULL;
  HKEY server = NULL;
  LONG status;
  const DWORD length = GetModuleFileNameW(this_module, module, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return SELFREG_E_CLASS;
  status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, class_key, 0, NULL, 0, KEY_WRITE, NULL, &class_entry, NULL);
  if (status == ERROR_SUCCESS) status = set_text(class_entry, NULL, L"DoDadev sample keystore provider (C)");
  if (status == ERROR_SUCCESS) {
    status = RegCreateKeyExW(class_entry, L"InprocServer32", 0, NULL, 0, KEY_WRITE, NULL, &server, NULL);
  }
  if (status == ERROR_SUCCESS) status = set_text(server, NULL, module);
  if (status == ERROR_SUCCESS) status = set_text(server, L"ThreadingModel", L"Apartment");
  if (server) RegCloseKey(server);
  if (class_entry) RegCloseKey(class_entry);
  if (status != ERROR_SUCCESS) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key);
    return SELFREG_E_CLASS;
  }
  return S_OK;
}

STDAPI DllUnregisterServer(void) {
  const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, class_key);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
