// keystore_perform_operation and its command table: each command is one row that names its
// parameters in reading order, the one provider call they feed and the form of its result.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "proxy/lu_proxy_disp.h"
#include "proxy/parameter_reader.h"
#include "proxy/provider_factory.h"
#include "proxy/trace_text.h"
#include "trace/trace.h"
#include "win/owners.h"

namespace {

constexpr wchar_t reporter[] = L"LU_proxy_disp::keystore_perform_operation";

// How a parameter is read. `path_text` is read with the path getter and handed on as a string.
enum class kind : unsigned char { path, path_text, strg, uint, flag, guid, cert };

struct parameter {
  const wchar_t* name;  // null ends a row's list
  kind type;
};
constexpr int max_parameters = static_cast<int>(kv::parameter_reader::max_names);

// A provider receives the address of our KV_certificate and reads it as the provider header's
// KV_provider_certificate: both must describe the same bytes.
static_assert(offsetof(KV_provider_certificate, context) == KV_certificate::context_offset());
static_assert(offsetof(KV_provider_certificate, texts) == KV_certificate::texts_offset());
static_assert(offsetof(KV_provider_text, text) == KV_string::text_offset());
static_assert(sizeof(KV_provider_text) == sizeof(KV_string));
static_assert(sizeof(KV_provider_certificate) == sizeof(KV_certificate));

const KV_provider_certificate* provider_view(const KV_certificate& certificate) noexcept {
  return reinterpret_cast<const KV_provider_certificate*>(&certificate);
}

// The values of one command, by position in its row.
class parameter_values {
 public:
  void read(int index, const parameter& wanted, kv::parameter_reader& reader, std::int32_t* ok) {
    value& slot = slots_[index];
    switch (wanted.type) {
      case kind::path:
        slot.emplace<KV_path>(LU_proxy_disp::read_parameter_path(reader, wanted.name, ok));
        break;
      case kind::path_text:
        slot.emplace<KV_string>(KV_string(LU_proxy_disp::read_parameter_path(reader, wanted.name, ok)));
        break;
      case kind::strg:
        slot.emplace<KV_string>(LU_proxy_disp::read_parameter_strg(reader, wanted.name, ok));
        break;
      case kind::uint:
        slot.emplace<std::uint32_t>(LU_proxy_disp::read_parameter_uint(reader, wanted.name, ok));
        break;
      case kind::flag:
        slot.emplace<std::int32_t>(LU_proxy_disp::read_parameter_bool(reader, wanted.name, ok));
        break;
      case kind::guid:
        slot.emplace<KV_guid>(LU_proxy_disp::read_parameter_guid(reader, wanted.name, ok));
        break;
      case kind::cert:
        slot.emplace<KV_certificate>(LU_proxy_disp::read_parameter_cert(reader, wanted.name, ok));
        break;
    }
  }

  const wchar_t* text(int index) const {
    if (const KV_path* path = std::get_if<KV_path>(&slots_[index])) return path->text();
    return std::get<KV_string>(slots_[index]).text();
  }
  std::uint32_t number(int index) const { return std::get<std::uint32_t>(slots_[index]); }
  std::int32_t flag(int index) const { return std::get<std::int32_t>(slots_[index]); }
  const GUID* guid(int index) const { return &std::get<KV_guid>(slots_[index]); }
  const KV_provider_certificate* cert(int index) const { return provider_view(std::get<KV_certificate>(slots_[index])); }

 private:
  using value = std::variant<std::monostate, KV_path, KV_string, std::uint32_t, std::int32_t, KV_guid, KV_certificate>;
  value slots_[max_parameters];
};

// What the provider hands back besides its HRESULT. The text is allocated by the provider.
struct provider_output {
  kv::unique_bstr text;
  UINT32 number = 0;
};

enum class result_form : unsigned char {
  none,          // the result is NULL
  path,          // one path
  path_if_s_ok,  // one path, built only when the provider answers exactly S_OK
  paths,         // a path list
  value,         // the number
};

using provider_call = HRESULT (*)(IKeystoreProvider* provider, const parameter_values& in, provider_output& out);

struct command {
  const wchar_t* name;
  parameter parameters[max_parameters];
  provider_call call;
  result_form result;
};

// Commands that share a provider operation differ in their parameters; every name needs an exact
// match, so similar names never collide.
const command commands[] = {
    {L"keystore_drives", {{L"populated", kind::flag}, {L"types", kind::uint}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output& out) {
       return p->GetDrives(v.flag(0), v.number(1), out.text.put());
     },
     result_form::paths},
    {L"keystore_folder", {{L"drive", kind::path}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output& out) {
       return p->GetFolder(v.text(0), out.text.put());
     },
     result_form::path},
    {L"keystore_path", {{L"drive", kind::path}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output& out) {
       return p->GetPath(v.text(0), out.text.put());
     },
     result_form::path_if_s_ok},
    {L"keystore_type", {{L"drive", kind::path}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output& out) {
       return p->GetType(v.text(0), &out.number);
     },
     result_form::value},
    {L"keystore_locate", {{L"id", kind::guid}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output& out) {
       return p->LocateKey(v.guid(0), out.text.put());
     },
     result_form::paths},
    {L"keystore_create_pwd", {{L"drive", kind::path}, {L"password", kind::strg}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->CreatePwd(v.text(0), v.text(1));
     },
     result_form::none},
    {L"keystore_create_cert", {{L"drive", kind::path}, {L"certificate", kind::cert}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->CreateCert(v.text(0), v.cert(1));
     },
     result_form::none},
    {L"keystore_create_key",
     {{L"drive", kind::path}, {L"name", kind::strg}, {L"timeout", kind::uint}, {L"def_local_key", kind::flag}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->CreateKey(v.text(0), nullptr, v.text(1), v.number(2), v.flag(3));
     },
     result_form::none},
    {L"keystore_create_key_pwd",
     {{L"drive", kind::path},
      {L"password", kind::strg},
      {L"name", kind::strg},
      {L"timeout", kind::uint},
      {L"def_local_key", kind::flag}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->CreateKey(v.text(0), v.text(1), v.text(2), v.number(3), v.flag(4));
     },
     result_form::none},
    {L"keystore_create_key_cert",
     {{L"drive", kind::path}, {L"name", kind::strg}, {L"timeout", kind::uint}, {L"def_local_key", kind::flag}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->CreateKeyCert(v.text(0), v.text(1), v.number(2), v.flag(3));
     },
     result_form::none},
    {L"keystore_delete_key", {{L"drive", kind::path}, {L"id", kind::guid}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->DeleteKey(v.text(0), v.guid(1));
     },
     result_form::none},
    {L"keystore_rename_key", {{L"drive", kind::path}, {L"id", kind::guid}, {L"new_name", kind::strg}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->RenameKey(v.text(0), v.guid(1), v.text(2));
     },
     result_form::none},
    {L"keystore_export_key",
     {{L"drive", kind::path}, {L"id", kind::guid}, {L"export_path", kind::path}, {L"export_password", kind::strg}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->ExportKey(v.text(0), v.guid(1), v.text(2), v.text(3));
     },
     result_form::none},
    {L"keystore_import", {{L"drive", kind::path}, {L"import_path", kind::path}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->Import(v.text(0), v.text(1), nullptr);
     },
     result_form::none},
    {L"keystore_import_pwd", {{L"drive", kind::path}, {L"import_path", kind::path}, {L"password", kind::strg}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->Import(v.text(0), v.text(1), v.text(2));
     },
     result_form::none},
    {L"keystore_import_cert", {{L"drive", kind::path}, {L"import_path", kind::path}, {L"certificate", kind::cert}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->ImportCert(v.text(0), v.text(1), v.cert(2));
     },
     result_form::none},
    {L"keystore_recover_pwd", {{L"drive", kind::path}, {L"new_password", kind::path_text}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->RecoverPwd(v.text(0), v.text(1));
     },
     result_form::none},
    {L"keystore_recover_cert", {{L"drive", kind::path}, {L"new_certificate", kind::cert}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->RecoverCert(v.text(0), v.cert(1));
     },
     result_form::none},
    {L"keystore_change_token_pwd", {{L"drive", kind::path}, {L"new_password", kind::path_text}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->ChangeTokenPwd(v.text(0), v.text(1));
     },
     result_form::none},
    {L"keystore_change_token_cert", {{L"drive", kind::path}, {L"new_certificate", kind::cert}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->ChangeTokenCert(v.text(0), v.cert(1));
     },
     result_form::none},
    {L"keystore_verify_pwd_history", {{L"drive", kind::path}, {L"new_password", kind::path_text}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->VerifyPwdHistory(v.text(0), v.text(1));
     },
     result_form::none},
    {L"keystore_verify_last_pwd", {{L"drive", kind::path}, {L"new_password", kind::path_text}},
     [](IKeystoreProvider* p, const parameter_values& v, provider_output&) {
       return p->VerifyLastPwd(v.text(0), v.text(1));
     },
     result_form::none},
};

const command* find_command(const KV_string& name) noexcept {
  for (const command& row : commands) {
    if (name.equals(row.name)) return &row;
  }
  return nullptr;
}

// A path list: texts each ended by NUL, the list ended by an empty text. The walk stays within
// the string's counted length (plus the terminator every BSTR has), so a provider that forgot the
// final empty text cannot make us read past its string. Null gives an empty list.
KV_paths path_list_of(BSTR text) {
  KV_paths paths;
  if (!text) return paths;
  const UINT length = SysStringLen(text);
  for (UINT start = 0; start < length && text[start];) {
    paths.emplace_back(text + start);
    while (start < length && text[start]) ++start;
    ++start;
  }
  return paths;
}

BSTR result_of(result_form form, const provider_output& out) {
  switch (form) {
    case result_form::none:
      return nullptr;
    case result_form::path:
    case result_form::path_if_s_ok:
      return LU_proxy_disp::encode_path_result(KV_path(out.text ? out.text.get() : L""));
    case result_form::paths:
      return LU_proxy_disp::encode_paths_result(path_list_of(out.text.get()));
    case result_form::value:
      return LU_proxy_disp::encode_value_result(out.number);
  }
  return nullptr;
}

}  // namespace

HRESULT LU_proxy_disp::keystore_perform_operation(const wchar_t* command_name, const wchar_t* request,
                                                  BSTR* result) {
  if (!result) return E_POINTER;
  {
    const kv::trace_text shown(command_name);
    trace_line(reporter, 0, L"%ls", shown.get());
  }
  const KV_string name(command_name);
  // Declared before the provider, so they outlive it: its last Release may still read them.
  parameter_values values;

  // Made before the command is looked at: a provider that cannot be made answers every command.
  kv::com_ptr<IKeystoreProvider> provider;
  const HRESULT created = kv::create_keystore_provider(provider.put());
  if (FAILED(created)) {
    trace_report(reporter, L"Failed to create local provider instance!\n");
    trace_result_code(reporter, static_cast<std::uint32_t>(created));
    return created;
  }

  const command* row = find_command(name);
  if (!row) {
    trace_report(reporter, L"Unknown command!\n");
    return E_INVALIDARG;
  }

  // The request is parsed once for all the row's parameters. After the first missing parameter
  // the shared flag is 0 and the later reads do nothing.
  const wchar_t* names[max_parameters];
  int count = 0;
  for (; count < max_parameters && row->parameters[count].name; ++count) names[count] = row->parameters[count].name;
  kv::parameter_reader reader(request, names, static_cast<std::size_t>(count));
  std::int32_t ok = 1;
  for (int i = 0; i < count; ++i) values.read(i, row->parameters[i], reader, &ok);
  if (!ok) return E_INVALIDARG;

  provider_output out;
  const HRESULT hr = row->call(provider.get(), values, out);
  const bool succeeded = row->result == result_form::path_if_s_ok ? hr == S_OK : SUCCEEDED(hr);
  if (succeeded) *result = result_of(row->result, out);
  return hr;
}
