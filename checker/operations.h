#pragma once
// The provider's operations as the checker calls them: one builder per operation that lists its
// arguments in the interface's order, the call through the interface, the form of its answer and
// a description of the call for the report.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dodadev/keystore_provider.h"

namespace kv::check {

enum class operation : unsigned char {
  get_drives,
  get_folder,
  get_path,
  get_type,
  locate_key,
  create_cert,
  create_pwd,
  create_key_cert,
  create_key,
  delete_key,
  rename_key,
  export_key,
  import_cert,
  import_key,
  recover_cert,
  recover_pwd,
  change_token_cert,
  change_token_pwd,
  verify_pwd_history,
  verify_last_pwd,
};

// What the provider hands back besides its HRESULT.
enum class answer_form : unsigned char {
  none,
  single_path,          // one path, read on success
  single_path_if_s_ok,  // one path, read only on exactly S_OK
  path_list,            // texts each ended by NUL, the list ended by an empty text
  number,               // preset to 0
};

enum class argument_kind : unsigned char {
  text,
  null_text,                    // a password the command does not have
  guid,
  certificate,                  // a descriptor holding the checker's certificate
  certificate_without_context,  // a descriptor whose context is NULL
  number,                       // UINT32
  flag,                         // INT32, 0 or 1
};

struct argument {
  argument_kind kind = argument_kind::text;
  const wchar_t* name = L"";  // as the header names it; static text
  std::wstring text{};
  GUID id{};
  std::uint32_t value = 0;
};

struct call_spec {
  operation op;
  std::vector<argument> arguments;  // in the interface's order
};

inline constexpr int max_arguments = 5;

// Where the arguments sit while the call runs: texts, GUIDs and descriptors in pages of their own.
struct handed_over {
  const void* pointers[max_arguments] = {};
  std::uint32_t values[max_arguments] = {};

  const wchar_t* text(int i) const { return static_cast<const wchar_t*>(pointers[i]); }
  const GUID* guid(int i) const { return static_cast<const GUID*>(pointers[i]); }
  const KV_provider_certificate* certificate(int i) const {
    return static_cast<const KV_provider_certificate*>(pointers[i]);
  }
  UINT32 number(int i) const { return values[i]; }
  INT32 flag(int i) const { return static_cast<INT32>(values[i]); }
};

// What the provider wrote besides its answer; the text is set to NULL and the number to 0 first.
struct provider_answers {
  BSTR text = nullptr;
  UINT32 number = 0;
};

const wchar_t* name_of(operation op) noexcept;
answer_form form_of(operation op) noexcept;
// True when the server would read the out text for this answer.
bool answer_is_read(operation op, HRESULT answer) noexcept;
// Makes the call through the interface.
HRESULT invoke(operation op, IKeystoreProvider* provider, const handed_over& in, provider_answers& out);

// `GetFolder(drive="C:\")`: texts quoted, long ones shortened, characters that do not print as
// \uXXXX.
std::wstring describe(const call_spec& call);
// A text as the report shows it.
std::wstring shown_text(const wchar_t* text, std::size_t units);
std::wstring guid_text(const GUID& id);

call_spec get_drives(std::int32_t populated, std::uint32_t types);
call_spec get_folder(const std::wstring& drive);
call_spec get_path(const std::wstring& drive);
call_spec get_type(const std::wstring& drive);
call_spec locate_key(const GUID& id);
call_spec create_cert(const std::wstring& drive, bool with_context);
call_spec create_pwd(const std::wstring& drive, const std::wstring& password);
call_spec create_key_cert(const std::wstring& drive, const std::wstring& name, std::uint32_t timeout,
                          std::int32_t def_local_key);
call_spec create_key(const std::wstring& drive, const std::optional<std::wstring>& password, const std::wstring& name,
                     std::uint32_t timeout, std::int32_t def_local_key);
call_spec delete_key(const std::wstring& drive, const GUID& id);
call_spec rename_key(const std::wstring& drive, const GUID& id, const std::wstring& new_name);
call_spec export_key(const std::wstring& drive, const GUID& id, const std::wstring& export_path,
                     const std::wstring& export_password);
call_spec import_cert(const std::wstring& drive, const std::wstring& import_path, bool with_context);
call_spec import_key(const std::wstring& drive, const std::wstring& import_path,
                     const std::optional<std::wstring>& password);
call_spec recover_cert(const std::wstring& drive, bool with_context);
call_spec recover_pwd(const std::wstring& drive, const std::wstring& new_password);
call_spec change_token_cert(const std::wstring& drive, bool with_context);
call_spec change_token_pwd(const std::wstring& drive, const std::wstring& new_password);
call_spec verify_pwd_history(const std::wstring& drive, const std::wstring& new_password);
call_spec verify_last_pwd(const std::wstring& drive, const std::wstring& new_password);

}  // namespace kv::check
