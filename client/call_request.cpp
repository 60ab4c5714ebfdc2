#include "client/call_request.h"

#include "types/wide.h"
#include "xml/escapes.h"

namespace kv::client {

namespace {

bool is_base64(const text& value) noexcept {
  if (value.empty() || value.size() % 4 != 0) return false;
  std::size_t padding = 0;
  for (wchar_t c : value) {
    const bool letter = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
                        c == L'+' || c == L'/';
    if (c == L'=') {
      ++padding;
    } else if (!letter || padding) {
      return false;
    }
  }
  return padding <= 2;
}

// "serial:BASE64,issuer:BASE64"
bool parse_certificate(const text& value, request_parameter& parameter) {
  constexpr wchar_t serial_tag[] = L"serial:";
  constexpr wchar_t issuer_tag[] = L",issuer:";
  if (value.compare(0, 7, serial_tag) != 0) return false;
  const std::size_t issuer_at = value.find(issuer_tag, 7);
  if (issuer_at == text::npos) return false;
  parameter.serial_number = value.substr(7, issuer_at - 7);
  parameter.issuer = value.substr(issuer_at + 8);
  return is_base64(parameter.serial_number) && is_base64(parameter.issuer);
}

// The texts Windows gives for the codes people meet at activation; some systems (Wine 8) have
// none for them.
const wchar_t* fallback_text(HRESULT code) noexcept {
  switch (static_cast<unsigned long>(code)) {
    case 0x80040154:
      return L"Class not registered";
    case 0x80080005:
      return L"Server execution failed";
    case 0x80004002:
      return L"No such interface supported";
    case 0x8002801C:
      return L"Error accessing the OLE registry.";
    case 0x8002801D:
      return L"Library not registered.";
    case 0x800706BA:
      return L"The RPC server is unavailable.";
    case 0x800706BE:
      return L"The remote procedure call failed.";
    default:
      return nullptr;
  }
}

}  // namespace

void append_escaped(text& out, const wchar_t* value) {
  for (; value && *value; ++value) {
    if (const wchar_t* reference = kvxml::escaped(*value)) {
      out += reference;
    } else {
      out += *value;
    }
  }
}

text escape_xml(const wchar_t* value) {
  text escaped;
  append_escaped(escaped, value);
  return escaped;
}

bool parse_parameter(const wchar_t* argument, bool as_certificate, request_parameter& parameter,
                     const wchar_t** problem) {
  const text whole(argument ? argument : L"");
  const std::size_t equals = whole.find(L'=');
  if (equals == text::npos) {
    *problem = L"a parameter must be written NAME=VALUE";
    return false;
  }
  if (equals == 0) {
    *problem = L"a parameter needs a name before \"=\"";
    return false;
  }
  parameter = {};
  parameter.name = whole.substr(0, equals);
  parameter.certificate = as_certificate || parameter.name == L"certificate" || parameter.name == L"new_certificate";
  if (parameter.certificate) {
    const text value = whole.substr(equals + 1);
    if (value.size() > 1 && value[0] == L'@') {
      parameter.certificate_file = value.substr(1);
    } else if (!parse_certificate(value, parameter)) {
      *problem = L"a certificate is written @FILE or serial:BASE64,issuer:BASE64";
      return false;
    }
    return true;
  }
  parameter.value.get().assign(argument + equals + 1);
  return true;
}

text build_request(const wchar_t* function, const request_parameter* parameters, std::size_t count,
                   request_view view) {
  text request = L"<?xml version=\"1.0\"?><function name=\"";
  append_escaped(request, function);
  request += L"\">";
  for (std::size_t i = 0; i < count; ++i) {
    const request_parameter& parameter = parameters[i];
    request += L"<parameter name=\"";
    append_escaped(request, parameter.name.c_str());
    request += L"\">";
    if (parameter.certificate) {
      request += L"<certificate serial_number=\"";
      append_escaped(request, parameter.serial_number.c_str());
      request += L"\" issuer=\"";
      append_escaped(request, parameter.issuer.c_str());
      request += L"\"/>";
    } else if (parameter.secret && view == request_view::shown) {
      request += L"********";
    } else {
      append_escaped(request, parameter.value.c_str());
    }
    request += L"</parameter>";
  }
  request += L"</function>";
  return request;
}

text describe_result(HRESULT code) {
  wchar_t number[16];
  const auto value = static_cast<unsigned long>(code);
  const wchar_t digits[] = L"0123456789abcdef";
  number[0] = L'0';
  number[1] = L'x';
  for (int i = 0; i < 8; ++i) number[2 + i] = digits[(value >> (28 - 4 * i)) & 0xF];
  number[10] = 0;
  text described(number);
  // Only 0 and failures have a system text of their own: FormatMessage would read S_FALSE (1)
  // as ERROR_INVALID_FUNCTION.
  if (code == S_FALSE) return described + L" S_FALSE";
  if (code > 0) return described;

  wchar_t message[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, message, 512, nullptr);
  while (length > 0 && is_space(message[length - 1])) --length;
  if (length > 0) {
    described += L' ';
    described.append(message, length);
  } else if (const wchar_t* fallback = fallback_text(code)) {
    described += L' ';
    described += fallback;
  }
  return described;
}

const wchar_t* activation_advice(HRESULT code) noexcept {
  switch (static_cast<unsigned long>(code)) {
    case 0x80040154:  // REGDB_E_CLASSNOTREG
      return L"LU_proxy_disp is not registered. Register the server: DoDadev.exe /RegServer (for the machine, "
             L"as administrator) or DoDadev.exe /RegServerPerUser.";
    case 0x80080005:  // CO_E_SERVER_EXEC_FAILURE
      return L"The server could not be started. Check that the program named under HKEY_CLASSES_ROOT\\CLSID\\"
             L"{01B5C31E-59A2-4194-9DCC-05F6FE00F066}\\LocalServer32 exists and runs.";
    case 0x80004002:  // E_NOINTERFACE
      return L"The server was reached but the interface could not be marshalled: the type library is not "
             L"registered. Run DoDadev.exe /RegServer again.";
    case 0x8002801C:  // TYPE_E_REGISTRYACCESS
    case 0x8002801D:  // TYPE_E_LIBNOTREGISTERED
      return L"The type library DoDadevLib 1.0 is not registered. Run DoDadev.exe /RegServer again.";
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE:  // RPC_S_CALL_FAILED
      return L"The server ended during the call.";
    default:
      return nullptr;
  }
}

}  // namespace kv::client
