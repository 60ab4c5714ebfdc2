// broken_provider.dll: a keystore provider for the checker's test. With no fault it keeps the
// contract and a small keystore in memory (each key also leaves an empty file "<drive>\{id}.key",
// where the checker learns its id). The environment variable DODADEV_BROKEN_FAULT names the one
// rule it breaks; a name it does not know makes DllGetClassObject fail.
#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "dodadev/keystore_provider.h"

namespace {

enum class fault {
  none, answer_code, out_text, path_list, single_path, xml_characters, last_release, factory_aggregation,
  factory_interfaces, query_interface, arguments_kept, certificate_kept, exception, crash, hang, delete_keeps_key,
  any_password, unknown,
};

fault active_fault() {
  static const struct {
    const wchar_t* name;
    fault value;
  } names[] = {
      {L"answer-code", fault::answer_code}, {L"out-text", fault::out_text}, {L"path-list", fault::path_list},
      {L"single-path", fault::single_path}, {L"xml-characters", fault::xml_characters},
      {L"last-release", fault::last_release}, {L"factory-aggregation", fault::factory_aggregation},
      {L"factory-interfaces", fault::factory_interfaces}, {L"query-interface", fault::query_interface},
      {L"arguments-kept", fault::arguments_kept}, {L"certificate-kept", fault::certificate_kept},
      {L"exception", fault::exception}, {L"crash", fault::crash}, {L"hang", fault::hang},
      {L"delete-keeps-key", fault::delete_keeps_key}, {L"any-password", fault::any_password},
  };
  wchar_t text[64] = {};
  const DWORD units = GetEnvironmentVariableW(L"DODADEV_BROKEN_FAULT", text, 64);
  if (units == 0) return fault::none;
  for (const auto& known : names) {
    if (units < 64 && lstrcmpW(text, known.name) == 0) return known.value;
  }
  return fault::unknown;
}

bool broken(fault which) { return active_fault() == which; }

LONG live_objects = 0;

// arguments-kept: a drive text kept from one call and read in the next.
const wchar_t* kept_drive = nullptr;
volatile wchar_t kept_unit = 0;
// crash: an address no page is at, that the compiler cannot see is null.
volatile std::uintptr_t nowhere = 0;

struct key_entry {
  GUID id;
  std::wstring name;
};
struct keystore {
  std::vector<std::wstring> passwords;  // the current one last
  std::vector<key_entry> keys;
};
std::map<std::wstring, keystore> keystores;  // by drive text

std::wstring guid_text(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

std::wstring key_file(const std::wstring& drive, const GUID& id) { return drive + L"\\" + guid_text(id) + L".key"; }

HRESULT last_error() { return HRESULT_FROM_WIN32(GetLastError()); }

HRESULT write_file(const std::wstring& path, const std::wstring& content) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return last_error();
  DWORD written = 0;
  const BOOL wrote = WriteFile(file, content.data(), static_cast<DWORD>(content.size() * sizeof(wchar_t)), &written, nullptr);
  CloseHandle(file);
  return wrote ? S_OK : E_FAIL;
}

HRESULT path_list(const std::vector<std::wstring>& paths, BSTR* out) {
  std::wstring list;
  for (const std::wstring& path : paths) list += path + L'\0';
  list += L'\0';
  // path-list: SysAllocString stops at the first NUL.
  *out = broken(fault::path_list) ? SysAllocString(list.c_str())
                                  : SysAllocStringLen(list.data(), static_cast<UINT>(list.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

keystore* keystore_of(const wchar_t* drive) {
  const auto found = keystores.find(drive);
  return found == keystores.end() ? nullptr : &found->second;
}

key_entry* key_of(keystore& store, const GUID& id) {
  for (key_entry& key : store.keys) {
    if (IsEqualGUID(key.id, id)) return &key;
  }
  return nullptr;
}

bool in_history(const keystore& store, const wchar_t* password) {
  for (const std::wstring& used : store.passwords) {
    if (used == password) return true;
  }
  return false;
}

// out-text: a text written by hand with a length field of its own, no BSTR.
struct {
  UINT32 bytes = 6;
  wchar_t text[8] = L"C:\\hand";
} handmade;

class broken_provider final : public IKeystoreProvider {
 public:
  broken_provider() { InterlockedIncrement(&live_objects); }
  ~broken_provider() { InterlockedDecrement(&live_objects); }
  broken_provider(const broken_provider&) = delete;
  broken_provider& operator=(const broken_provider&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if ((iid == IID_IUnknown && !broken(fault::query_interface)) || iid == IID_IKeystoreProvider) {
      *object = static_cast<IKeystoreProvider*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0 && !broken(fault::last_release)) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE ReservedNeverCalled() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDrives(INT32, UINT32, BSTR* drives) override {
    enter();
    return path_list({L"C:\\"}, drives);
  }
  HRESULT STDMETHODCALLTYPE GetFolder(LPCWSTR drive, BSTR* folder) override {
    enter();
    if (broken(fault::exception)) throw std::runtime_error("broken on purpose");
    if (broken(fault::arguments_kept)) kept_drive = drive;
    if (broken(fault::out_text)) {
      *folder = handmade.text;
      return S_OK;
    }
    std::wstring text = std::wstring(drive) + L"\\Broken keystore";
    if (broken(fault::xml_characters)) text += L'\x01';
    if (broken(fault::single_path)) text += std::wstring(1, L'\0') + L"tail";
    *folder = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *folder ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetPath(LPCWSTR drive, BSTR* path) override {
    enter();
    if (!keystore_of(drive)) return S_FALSE;
    *path = SysAllocString((std::wstring(drive) + L"\\keystore").c_str());
    return *path ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE GetType(LPCWSTR drive, UINT32* type) override {
    enter();
    if (broken(fault::hang)) Sleep(INFINITE);
    if (broken(fault::crash)) *reinterpret_cast<volatile int*>(nowhere) = 1;
    if (!*drive) return broken(fault::answer_code) ? ERROR_PATH_NOT_FOUND : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    *type = DRIVE_FIXED;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LocateKey(const GUID* id, BSTR* paths) override {
    enter();
    std::vector<std::wstring> found;
    for (auto& [drive, store] : keystores) {
      if (key_of(store, *id)) found.push_back(key_file(drive, *id));
    }
    return path_list(found, paths);
  }
  HRESULT STDMETHODCALLTYPE CreateCert(LPCWSTR, const KV_provider_certificate* certificate) override {
    enter();
    if (broken(fault::certificate_kept) && certificate->context) CertDuplicateCertificateContext(certificate->context);
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CreatePwd(LPCWSTR drive, LPCWSTR password) override {
    enter();
    const DWORD attributes = GetFileAttributesW(drive);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    if (!*password) return E_INVALIDARG;
    if (keystore_of(drive)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    keystores[drive].passwords.push_back(password);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateKeyCert(LPCWSTR, LPCWSTR, UINT32, INT32) override { return not_done(); }
  HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR drive, LPCWSTR password, LPCWSTR name, UINT32, INT32) override {
    enter();
    keystore* store = keystore_of(drive);
    if (!store) return NTE_BAD_KEYSET;
    if (password && store->passwords.back() != password) return E_ACCESSDENIED;
    if (!*name) return E_INVALIDARG;
    for (const key_entry& key : store->keys) {
      if (key.name == name) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    key_entry key{{}, name};
    HRESULT hr = CoCreateGuid(&key.id);
    if (SUCCEEDED(hr)) hr = write_file(key_file(drive, key.id), L"");
    if (SUCCEEDED(hr)) store->keys.push_back(key);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR drive, const GUID* id) override {
    enter();
    keystore* store = keystore_of(drive);
    if (!store) return NTE_BAD_KEYSET;
    if (!key_of(*store, *id)) return NTE_NOT_FOUND;
    if (broken(fault::delete_keeps_key)) return S_OK;
    for (auto key = store->keys.begin(); key != store->keys.end(); ++key) {
      if (IsEqualGUID(key->id, *id)) {
        store->keys.erase(key);
        break;
      }
    }
    DeleteFileW(key_file(drive, *id).c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RenameKey(LPCWSTR drive, const GUID* id, LPCWSTR new_name) override {
    enter();
    keystore* store = keystore_of(drive);
    key_entry* key = store ? key_of(*store, *id) : nullptr;
    if (!key) return NTE_NOT_FOUND;
    if (!*new_name) return E_INVALIDARG;
    key->name = new_name;
    return S_OK;
  }
  // The export file: the id, the password and the name, one per line.
  HRESULT STDMETHODCALLTYPE ExportKey(LPCWSTR drive, const GUID* id, LPCWSTR export_path,
                                      LPCWSTR export_password) override {
    enter();
    keystore* store = keystore_of(drive);
    key_entry* key = store ? key_of(*store, *id) : nullptr;
    if (!key) return NTE_NOT_FOUND;
    return write_file(export_path, guid_text(key->id) + L"\n" + export_password + L"\n" + key->name);
  }
  HRESULT STDMETHODCALLTYPE ImportCert(LPCWSTR, LPCWSTR, const KV_provider_certificate*) override { return not_done(); }
  HRESULT STDMETHODCALLTYPE Import(LPCWSTR drive, LPCWSTR import_path, LPCWSTR password) override {
    enter();
    keystore* store = keystore_of(drive);
    if (!store) return NTE_BAD_KEYSET;
    const HANDLE file = CreateFileW(import_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error();
    wchar_t content[1024] = {};
    DWORD read = 0;
    ReadFile(file, content, sizeof content - sizeof(wchar_t), &read, nullptr);
    CloseHandle(file);
    const std::wstring text = content;
    const std::size_t first = text.find(L'\n');
    const std::size_t second = text.find(L'\n', first + 1);
    if (first == std::wstring::npos || second == std::wstring::npos) return NTE_BAD_DATA;
    if (!password || text.substr(first + 1, second - first - 1) != password) return E_ACCESSDENIED;
    key_entry key{{}, text.substr(second + 1)};
    if (FAILED(CLSIDFromString(text.substr(0, first).c_str(), &key.id))) return NTE_BAD_DATA;
    if (key_of(*store, key.id)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    const HRESULT hr = write_file(key_file(drive, key.id), L"");
    if (SUCCEEDED(hr)) store->keys.push_back(key);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE RecoverCert(LPCWSTR, const KV_provider_certificate*) override { return not_done(); }
  HRESULT STDMETHODCALLTYPE RecoverPwd(LPCWSTR drive, LPCWSTR new_password) override {
    enter();
    keystore* store = keystore_of(drive);
    if (!store) return NTE_BAD_KEYSET;
    if (!*new_password) return E_INVALIDARG;
    store->passwords.push_back(new_password);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ChangeTokenCert(LPCWSTR, const KV_provider_certificate*) override { return not_done(); }
  HRESULT STDMETHODCALLTYPE ChangeTokenPwd(LPCWSTR drive, LPCWSTR new_password) override {
    const HRESULT hr = VerifyPwdHistory(drive, new_password);
    if (hr == S_OK) keystore_of(drive)->passwords.push_back(new_password);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE VerifyPwdHistory(LPCWSTR drive, LPCWSTR new_password) override {
    enter();
    keystore* store = keystore_of(drive);
    if (!store) return NTE_BAD_KEYSET;
    if (!*new_password) return E_INVALIDARG;
    return in_history(*store, new_password) ? HRESULT_FROM_WIN32(ERROR_PASSWORD_RESTRICTION) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE VerifyLastPwd(LPCWSTR drive, LPCWSTR new_password) override {
    enter();
    keystore* store = keystore_of(drive);
    if (!store) return NTE_BAD_KEYSET;
    if (broken(fault::any_password)) return S_OK;
    return store->passwords.back() == new_password ? S_OK : E_ACCESSDENIED;
  }

 private:
  // arguments-kept: every call reads the drive text an earlier GetFolder kept.
  static void enter() {
    if (kept_drive) kept_unit = kept_drive[0];
  }
  static HRESULT not_done() {
    enter();
    return E_NOTIMPL;
  }

  LONG references_ = 1;
};

class broken_factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer && !broken(fault::factory_aggregation)) return CLASS_E_NOAGGREGATION;
    if (iid != IID_IUnknown && iid != IID_IKeystoreProvider && !broken(fault::factory_interfaces)) return E_NOINTERFACE;
    broken_provider* made = new (std::nothrow) broken_provider();
    if (!made) return E_OUTOFMEMORY;
    *object = static_cast<IKeystoreProvider*>(made);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

broken_factory factory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (active_fault() == fault::unknown) return E_FAIL;
  if (clsid != CLSID_KeystoreProvider) return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() { return live_objects == 0 ? S_OK : S_FALSE; }
