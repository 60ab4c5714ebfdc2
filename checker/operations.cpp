#include "checker/operations.h"

#include <cwchar>

namespace kv::check {

namespace {

using provider_call = HRESULT (*)(IKeystoreProvider* p, const handed_over& in, provider_answers& out);

struct operation_row {
  const wchar_t* name;
  answer_form form;
  provider_call call;
};

// In the order of `operation`; the argument positions are those the builders below write.
const operation_row rows[] = {
    {L"GetDrives", answer_form::path_list,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers& out) {
       return p->GetDrives(in.flag(0), in.number(1), &out.text);
     }},
    {L"GetFolder", answer_form::single_path,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers& out) {
       return p->GetFolder(in.text(0), &out.text);
     }},
    {L"GetPath", answer_form::single_path_if_s_ok,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers& out) {
       return p->GetPath(in.text(0), &out.text);
     }},
    {L"GetType", answer_form::number,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers& out) {
       return p->GetType(in.text(0), &out.number);
     }},
    {L"LocateKey", answer_form::path_list,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers& out) {
       return p->LocateKey(in.guid(0), &out.text);
     }},
    {L"CreateCert", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->CreateCert(in.text(0), in.certificate(1));
     }},
    {L"CreatePwd", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->CreatePwd(in.text(0), in.text(1));
     }},
    {L"CreateKeyCert", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->CreateKeyCert(in.text(0), in.text(1), in.number(2), in.flag(3));
     }},
    {L"CreateKey", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->CreateKey(in.text(0), in.text(1), in.text(2), in.number(3), in.flag(4));
     }},
    {L"DeleteKey", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->DeleteKey(in.text(0), in.guid(1));
     }},
    {L"RenameKey", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->RenameKey(in.text(0), in.guid(1), in.text(2));
     }},
    {L"ExportKey", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->ExportKey(in.text(0), in.guid(1), in.text(2), in.text(3));
     }},
    {L"ImportCert", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->ImportCert(in.text(0), in.text(1), in.certificate(2));
     }},
    {L"Import", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->Import(in.text(0), in.text(1), in.text(2));
     }},
    {L"RecoverCert", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->RecoverCert(in.text(0), in.certificate(1));
     }},
    {L"RecoverPwd", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->RecoverPwd(in.text(0), in.text(1));
     }},
    {L"ChangeTokenCert", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->ChangeTokenCert(in.text(0), in.certificate(1));
     }},
    {L"ChangeTokenPwd", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->ChangeTokenPwd(in.text(0), in.text(1));
     }},
    {L"VerifyPwdHistory", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->VerifyPwdHistory(in.text(0), in.text(1));
     }},
    {L"VerifyLastPwd", answer_form::none,
     [](IKeystoreProvider* p, const handed_over& in, provider_answers&) {
       return p->VerifyLastPwd(in.text(0), in.text(1));
     }},
};
static_assert(sizeof rows / sizeof rows[0] == static_cast<std::size_t>(operation::verify_last_pwd) + 1);

const operation_row& row_of(operation op) { return rows[static_cast<std::size_t>(op)]; }

argument text(const wchar_t* name, const std::wstring& value) { return {argument_kind::text, name, value}; }
argument password(const wchar_t* name, const std::optional<std::wstring>& value) {
  return value ? text(name, *value) : argument{argument_kind::null_text, name};
}
argument guid(const wchar_t* name, const GUID& id) { return {argument_kind::guid, name, {}, id}; }
argument certificate(const wchar_t* name, bool with_context) {
  return {with_context ? argument_kind::certificate : argument_kind::certificate_without_context, name};
}
argument number(const wchar_t* name, std::uint32_t value) { return {argument_kind::number, name, {}, {}, value}; }
argument flag(const wchar_t* name, std::int32_t value) {
  return {argument_kind::flag, name, {}, {}, static_cast<std::uint32_t>(value)};
}

// Texts longer than this are shown by their start and their length.
constexpr std::size_t shown_units = 160;

}  // namespace

const wchar_t* name_of(operation op) noexcept { return row_of(op).name; }
answer_form form_of(operation op) noexcept { return row_of(op).form; }

bool answer_is_read(operation op, HRESULT answer) noexcept {
  return form_of(op) == answer_form::single_path_if_s_ok ? answer == S_OK : SUCCEEDED(answer);
}

HRESULT invoke(operation op, IKeystoreProvider* provider, const handed_over& in, provider_answers& out) {
  return row_of(op).call(provider, in, out);
}

std::wstring shown_text(const wchar_t* text, std::size_t units) {
  std::wstring out = L"\"";
  const std::size_t shown = units > shown_units ? shown_units : units;
  for (std::size_t i = 0; i < shown; ++i) {
    const wchar_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    const bool paired = (high && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ||
                        (low && i > 0 && text[i - 1] >= 0xD800 && text[i - 1] <= 0xDBFF);
    if (unit < 0x20 || unit == 0x7F || unit == 0xFFFE || unit == 0xFFFF || ((high || low) && !paired)) {
      wchar_t escaped[8];
      std::swprintf(escaped, 8, L"\\u%04X", static_cast<unsigned>(unit));
      out += escaped;
    } else {
      out += unit;
    }
  }
  out += L"\"";
  if (shown < units) out += L"... (" + std::to_wstring(units) + L" characters)";
  return out;
}

std::wstring guid_text(const GUID& id) {
  wchar_t text[40];
  std::swprintf(text, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(id.Data1),
                static_cast<unsigned>(id.Data2), static_cast<unsigned>(id.Data3), static_cast<unsigned>(id.Data4[0]),
                static_cast<unsigned>(id.Data4[1]), static_cast<unsigned>(id.Data4[2]),
                static_cast<unsigned>(id.Data4[3]), static_cast<unsigned>(id.Data4[4]),
                static_cast<unsigned>(id.Data4[5]), static_cast<unsigned>(id.Data4[6]),
                static_cast<unsigned>(id.Data4[7]));
  return text;
}

std::wstring describe(const call_spec& call) {
  std::wstring out = std::wstring(name_of(call.op)) + L"(";
  bool first = true;
  for (const argument& given : call.arguments) {
    if (!first) out += L", ";
    first = false;
    out += std::wstring(given.name) + L"=";
    switch (given.kind) {
      case argument_kind::text:
        out += shown_text(given.text.c_str(), given.text.size());
        break;
      case argument_kind::null_text:
        out += L"NULL";
        break;
      case argument_kind::guid:
        out += guid_text(given.id);
        break;
      case argument_kind::certificate:
        out += L"<the checker's certificate>";
        break;
      case argument_kind::certificate_without_context:
        out += L"<no certificate context>";
        break;
      case argument_kind::number:
        out += std::to_wstring(given.value);
        break;
      case argument_kind::flag:
        out += std::to_wstring(static_cast<std::int32_t>(given.value));
        break;
    }
  }
  return out + L")";
}

call_spec get_drives(std::int32_t populated, std::uint32_t types) {
  return {operation::get_drives, {flag(L"populated", populated), number(L"types", types)}};
}
call_spec get_folder(const std::wstring& drive) { return {operation::get_folder, {text(L"drive", drive)}}; }
call_spec get_path(const std::wstring& drive) { return {operation::get_path, {text(L"drive", drive)}}; }
call_spec get_type(const std::wstring& drive) { return {operation::get_type, {text(L"drive", drive)}}; }
call_spec locate_key(const GUID& id) { return {operation::locate_key, {guid(L"id", id)}}; }
call_spec create_cert(const std::wstring& drive, bool with_context) {
  return {operation::create_cert, {text(L"drive", drive), certificate(L"certificate", with_context)}};
}
call_spec create_pwd(const std::wstring& drive, const std::wstring& password_text) {
  return {operation::create_pwd, {text(L"drive", drive), text(L"password", password_text)}};
}
call_spec create_key_cert(const std::wstring& drive, const std::wstring& name, std::uint32_t timeout,
                          std::int32_t def_local_key) {
  return {operation::create_key_cert,
          {text(L"drive", drive), text(L"name", name), number(L"timeout", timeout), flag(L"def_local_key", def_local_key)}};
}
call_spec create_key(const std::wstring& drive, const std::optional<std::wstring>& password_text,
                     const std::wstring& name, std::uint32_t timeout, std::int32_t def_local_key) {
  return {operation::create_key,
          {text(L"drive", drive), password(L"password", password_text), text(L"name", name), number(L"timeout", timeout),
           flag(L"def_local_key", def_local_key)}};
}
call_spec delete_key(const std::wstring& drive, const GUID& id) {
  return {operation::delete_key, {text(L"drive", drive), guid(L"id", id)}};
}
call_spec rename_key(const std::wstring& drive, const GUID& id, const std::wstring& new_name) {
  return {operation::rename_key, {text(L"drive", drive), guid(L"id", id), text(L"new_name", new_name)}};
}
call_spec export_key(const std::wstring& drive, const GUID& id, const std::wstring& export_path,
                     const std::wstring& export_password) {
  return {operation::export_key,
          {text(L"drive", drive), guid(L"id", id), text(L"export_path", export_path),
           text(L"export_password", export_password)}};
}
call_spec import_cert(const std::wstring& drive, const std::wstring& import_path, bool with_context) {
  return {operation::import_cert,
          {text(L"drive", drive), text(L"import_path", import_path), certificate(L"certificate", with_context)}};
}
call_spec import_key(const std::wstring& drive, const std::wstring& import_path,
                     const std::optional<std::wstring>& password_text) {
  return {operation::import_key,
          {text(L"drive", drive), text(L"import_path", import_path), password(L"password", password_text)}};
}
call_spec recover_cert(const std::wstring& drive, bool with_context) {
  return {operation::recover_cert, {text(L"drive", drive), certificate(L"new_certificate", with_context)}};
}
call_spec recover_pwd(const std::wstring& drive, const std::wstring& new_password) {
  return {operation::recover_pwd, {text(L"drive", drive), text(L"new_password", new_password)}};
}
call_spec change_token_cert(const std::wstring& drive, bool with_context) {
  return {operation::change_token_cert, {text(L"drive", drive), certificate(L"new_certificate", with_context)}};
}
call_spec change_token_pwd(const std::wstring& drive, const std::wstring& new_password) {
  return {operation::change_token_pwd, {text(L"drive", drive), text(L"new_password", new_password)}};
}
call_spec verify_pwd_history(const std::wstring& drive, const std::wstring& new_password) {
  return {operation::verify_pwd_history, {text(L"drive", drive), text(L"new_password", new_password)}};
}
call_spec verify_last_pwd(const std::wstring& drive, const std::wstring& new_password) {
  return {operation::verify_last_pwd, {text(L"drive", drive), text(L"new_password", new_password)}};
}

}  // namespace kv::check
