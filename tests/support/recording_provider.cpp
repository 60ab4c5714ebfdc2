#include "tests/support/recording_provider.h"

#include <wincrypt.h>

#include <string>
#include <utility>

#include "win/com_object.h"

namespace kv::test {

namespace {

LONG live_instances = 0;

std::wstring text_arg(const wchar_t* text) {
  if (!text) return L"NULL";
  std::wstring out = L"\"";
  for (const wchar_t* p = text; *p; ++p) {
    if (*p < 0x20) {
      static const wchar_t hex[] = L"0123456789ABCDEF";
      out += L"\\x";
      out += hex[(*p >> 4) & 0xF];
      out += hex[*p & 0xF];
    } else {
      out += *p;
    }
  }
  return out + L"\"";
}

std::wstring guid_arg(const GUID* id) {
  if (!id) return L"NULL";
  wchar_t text[39] = {};
  StringFromGUID2(*id, text, 39);
  return text;
}

std::wstring cert_arg(const KV_provider_certificate* certificate) {
  if (!certificate) return L"NULL";
  PCCERT_CONTEXT context = certificate->context;
  if (!context) return L"cert()";
  wchar_t name[256] = {};
  CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256);
  return std::wstring(L"cert(") + name + L")";
}

std::wstring out_text_arg(const BSTR* out) {
  if (!out) return L"NULL";
  return *out ? L"out(set)" : L"out";
}

std::wstring out_number_arg(const UINT32* out) {
  if (!out) return L"NULL";
  return L"out(" + std::to_wstring(*out) + L")";
}

class recording_provider final : public kv::com_object<IKeystoreProvider, &IID_IKeystoreProvider> {
 public:
  explicit recording_provider(std::shared_ptr<provider_journal> journal) : journal_(std::move(journal)) {
    InterlockedIncrement(&live_instances);
    journal_->instance_created();
  }
  ~recording_provider() override {
    // The server promises that what it handed over outlives the provider: read it once more.
    if (handed_) journal_->certificate_at_release(cert_arg(handed_));
    journal_->instance_destroyed();
    InterlockedDecrement(&live_instances);
  }
  recording_provider(const recording_provider&) = delete;
  recording_provider& operator=(const recording_provider&) = delete;


  HRESULT STDMETHODCALLTYPE ReservedNeverCalled() override { return call(L"ReservedNeverCalled", {}); }

  HRESULT STDMETHODCALLTYPE GetDrives(INT32 populated, UINT32 types, BSTR* drives) override {
    return call_with_text(L"GetDrives", {std::to_wstring(populated), std::to_wstring(types)}, drives);
  }
  HRESULT STDMETHODCALLTYPE GetFolder(const wchar_t* drive, BSTR* folder) override {
    return call_with_text(L"GetFolder", {text_arg(drive)}, folder);
  }
  HRESULT STDMETHODCALLTYPE GetPath(const wchar_t* drive, BSTR* path) override {
    return call_with_text(L"GetPath", {text_arg(drive)}, path);
  }
  HRESULT STDMETHODCALLTYPE GetType(const wchar_t* drive, UINT32* type) override {
    journal_->record({L"GetType", {text_arg(drive), out_number_arg(type)}});
    if (!type) return E_POINTER;
    *type = journal_->script.type;
    return result_of(L"GetType");
  }
  HRESULT STDMETHODCALLTYPE LocateKey(const GUID* id, BSTR* paths) override {
    return call_with_text(L"LocateKey", {guid_arg(id)}, paths);
  }
  HRESULT STDMETHODCALLTYPE CreateCert(const wchar_t* drive, const KV_provider_certificate* certificate) override {
    return call(L"CreateCert", {text_arg(drive), cert_arg(hand(certificate))});
  }
  HRESULT STDMETHODCALLTYPE CreatePwd(const wchar_t* drive, const wchar_t* password) override {
    return call(L"CreatePwd", {text_arg(drive), text_arg(password)});
  }
  HRESULT STDMETHODCALLTYPE CreateKeyCert(const wchar_t* drive, const wchar_t* name, UINT32 timeout,
                                          INT32 def_local_key) override {
    return call(L"CreateKeyCert",
                {text_arg(drive), text_arg(name), std::to_wstring(timeout), std::to_wstring(def_local_key)});
  }
  HRESULT STDMETHODCALLTYPE CreateKey(const wchar_t* drive, const wchar_t* password, const wchar_t* name,
                                      UINT32 timeout, INT32 def_local_key) override {
    return call(L"CreateKey", {text_arg(drive), text_arg(password), text_arg(name), std::to_wstring(timeout),
                               std::to_wstring(def_local_key)});
  }
  HRESULT STDMETHODCALLTYPE DeleteKey(const wchar_t* drive, const GUID* id) override {
    return call(L"DeleteKey", {text_arg(drive), guid_arg(id)});
  }
  HRESULT STDMETHODCALLTYPE RenameKey(const wchar_t* drive, const GUID* id, const wchar_t* new_name) override {
    return call(L"RenameKey", {text_arg(drive), guid_arg(id), text_arg(new_name)});
  }
  HRESULT STDMETHODCALLTYPE ExportKey(const wchar_t* drive, const GUID* id, const wchar_t* export_path,
                                      const wchar_t* export_password) override {
    return call(L"ExportKey", {text_arg(drive), guid_arg(id), text_arg(export_path), text_arg(export_password)});
  }
  HRESULT STDMETHODCALLTYPE ImportCert(const wchar_t* drive, const wchar_t* import_path,
                                       const KV_provider_certificate* certificate) override {
    return call(L"ImportCert", {text_arg(drive), text_arg(import_path), cert_arg(hand(certificate))});
  }
  HRESULT STDMETHODCALLTYPE Import(const wchar_t* drive, const wchar_t* import_path,
                                   const wchar_t* password) override {
    return call(L"Import", {text_arg(drive), text_arg(import_path), text_arg(password)});
  }
  HRESULT STDMETHODCALLTYPE RecoverCert(const wchar_t* drive, const KV_provider_certificate* new_certificate) override {
    return call(L"RecoverCert", {text_arg(drive), cert_arg(hand(new_certificate))});
  }
  HRESULT STDMETHODCALLTYPE RecoverPwd(const wchar_t* drive, const wchar_t* new_password) override {
    return call(L"RecoverPwd", {text_arg(drive), text_arg(new_password)});
  }
  HRESULT STDMETHODCALLTYPE ChangeTokenCert(const wchar_t* drive, const KV_provider_certificate* new_certificate) override {
    return call(L"ChangeTokenCert", {text_arg(drive), cert_arg(hand(new_certificate))});
  }
  HRESULT STDMETHODCALLTYPE ChangeTokenPwd(const wchar_t* drive, const wchar_t* new_password) override {
    return call(L"ChangeTokenPwd", {text_arg(drive), text_arg(new_password)});
  }
  HRESULT STDMETHODCALLTYPE VerifyPwdHistory(const wchar_t* drive, const wchar_t* new_password) override {
    return call(L"VerifyPwdHistory", {text_arg(drive), text_arg(new_password)});
  }
  HRESULT STDMETHODCALLTYPE VerifyLastPwd(const wchar_t* drive, const wchar_t* new_password) override {
    return call(L"VerifyLastPwd", {text_arg(drive), text_arg(new_password)});
  }

 private:
  const KV_provider_certificate* hand(const KV_provider_certificate* certificate) {
    handed_ = certificate;
    return certificate;
  }

  HRESULT result_of(const wchar_t* operation) const {
    const auto found = journal_->script.results.find(operation);
    return found == journal_->script.results.end() ? S_OK : found->second;
  }

  HRESULT call(const wchar_t* operation, std::vector<std::wstring> args) {
    journal_->record({operation, std::move(args)});
    return result_of(operation);
  }

  HRESULT call_with_text(const wchar_t* operation, std::vector<std::wstring> args, BSTR* out) {
    args.push_back(out_text_arg(out));
    journal_->record({operation, std::move(args)});
    if (!out) return E_POINTER;
    const auto text = journal_->script.texts.find(operation);
    if (text != journal_->script.texts.end()) {
      BSTR answer = SysAllocStringLen(text->second.data(), static_cast<UINT>(text->second.size()));
      if (!answer) return E_OUTOFMEMORY;
      *out = answer;
    }
    return result_of(operation);
  }

  std::shared_ptr<provider_journal> journal_;
  const KV_provider_certificate* handed_ = nullptr;  // the last certificate descriptor handed over
};

}  // namespace

std::wstring recorded_call::line() const {
  std::wstring out = operation + L"(";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += L", ";
    out += args[i];
  }
  return out + L")";
}

std::vector<std::wstring> provider_journal::lines() const {
  std::vector<std::wstring> out;
  for (const recorded_call& call : calls) out.push_back(call.line());
  return out;
}

IKeystoreProvider* make_recording_provider(std::shared_ptr<provider_journal> journal) {
  return new recording_provider(std::move(journal));
}

long recording_provider_instances() noexcept { return InterlockedCompareExchange(&live_instances, 0, 0); }

}  // namespace kv::test
