// dodadev-call: calls LU_proxy_disp::call_function of the DoDadev server from a command line and
// prints the answer, for people who test an installation or debug a client.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <new>
#include <vector>

#include "client/call_request.h"
#include "client/certificate_file.h"
#include "client/file_text.h"
#include "client/pfx_import.h"
#include "client/secret_source.h"
#include "proxy/dodadev_h.h"
#include "types/kv_alloc.h"
#include "win/call_text_bstr.h"
#include "win/owners.h"

namespace {

using kv::client::text;

enum exit_code { exit_ok = 0, exit_refused = 1, exit_usage = 2, exit_com = 3 };

constexpr wchar_t help_text[] =
    L"dodadev-call: calls call_function of the DoDadev server (LU_proxy_disp) and prints the answer.\n"
    L"\n"
    L"Usage:\n"
    L"  dodadev-call [--dispatch] [--show-request] FUNCTION [NAME=VALUE]... [--cert NAME=CERT]...\n"
    L"               [--secret NAME=SOURCE]...\n"
    L"  dodadev-call [--dispatch] [--show-request] --request FILE\n"
    L"  dodadev-call --import-pfx FILE [--secret password=SOURCE]\n"
    L"  dodadev-call --encode TEXT | --encode-file FILE [--output FILE]\n"
    L"  dodadev-call --decode TEXT | --decode-file FILE [--output FILE]\n"
    L"  dodadev-call --help\n"
    L"\n"
    L"  FUNCTION        the function to call, for example keystore_drives\n"
    L"  NAME=VALUE      one parameter, sent as the text of <parameter name=\"NAME\">; XML special\n"
    L"                  characters in names and values are escaped. A password written here\n"
    L"                  (password=, new_password=, export_password=) is visible to other programs\n"
    L"                  in the process list and stays in the shell's history: use --secret\n"
    L"  certificate=CERT, new_certificate=CERT, --cert NAME=CERT\n"
    L"                  a certificate parameter, sent as <certificate serial_number=\"...\"\n"
    L"                  issuer=\"...\"/>; CERT is @FILE, a certificate file (PEM or DER), or\n"
    L"                  serial:BASE64,issuer:BASE64 with the certificate's serial number (least\n"
    L"                  significant byte first, as the certificate store holds it) and its encoded\n"
    L"                  issuer name, each in Base64. Only certificate parameters read @FILE: any\n"
    L"                  other value that starts with @ is sent as it stands\n"
    L"  --secret NAME=SOURCE\n"
    L"                  a parameter whose value is read instead of written here; SOURCE is\n"
    L"                  prompt    asked at the console, not echoed\n"
    L"                  stdin     the next line of standard input (several secrets take one line\n"
    L"                            each, in the order given here)\n"
    L"                  file:PATH the first line of the file\n"
    L"                  env:VAR   the environment variable VAR (visible to programs of the user)\n"
    L"                  The line end is removed. --show-request shows the value as ********\n"
    L"  --request FILE  send the request document in FILE (UTF-8, or UTF-16 with a byte-order\n"
    L"                  mark) as it stands\n"
    L"  --dispatch      call through IDispatch::Invoke (DISPID 1) instead of the vtable\n"
    L"  --show-request  print the request document before the call\n"
    L"  --import-pfx FILE\n"
    L"                  add each certificate in the PFX file that has a private key to the current\n"
    L"                  user's MY store (the key is kept) and print its certificate=CERT form; the\n"
    L"                  PFX password comes from --secret password=SOURCE, else from a prompt\n"
    L"  --encode TEXT   print TEXT in the call text coding\n"
    L"  --decode TEXT   print TEXT with the call text coding undone (a leading U+FEFF is dropped)\n"
    L"  --encode-file FILE, --decode-file FILE\n"
    L"                  the same for the text in FILE, read like a request file\n"
    L"  --output FILE   write the coded or decoded text to FILE instead of printing it, as\n"
    L"                  UTF-16LE after a byte-order mark (script hosts read that as Unicode)\n"
    L"\n"
    L"Prints the method's result and ret_code, each as 0xXXXXXXXX with the system's text, then\n"
    L"the result document, if there is one. Through IDispatch the method's S_FALSE arrives as\n"
    L"S_OK; ret_code always tells the outcome.\n"
    L"\n"
    L"Exit codes: 0 the method returned S_OK and ret_code is not negative (--import-pfx: a\n"
    L"certificate was added); 1 the request was refused or failed (or the coding or the import\n"
    L"failed); 2 wrong usage, or a file, secret or certificate that cannot be read; 3 the server\n"
    L"could not be reached or the call did not arrive.\n"
    L"\n"
    L"Example:\n"
    L"  dodadev-call keystore_create_key_pwd drive=C:\\ --secret password=prompt name=mykey timeout=30 "
    L"def_local_key=false\n";

// To a console as UTF-16, anywhere else as UTF-8.
void write_text(DWORD which, const wchar_t* units, std::size_t count) {
  HANDLE out = GetStdHandle(which);
  if (!out || out == INVALID_HANDLE_VALUE || count == 0) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, units, static_cast<DWORD>(count), &written, nullptr);
    return;
  }
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  kv::unique_mem<char> buffer(static_cast<char*>(kv::mem_alloc(static_cast<std::size_t>(bytes))));
  if (!buffer) return;
  WideCharToMultiByte(CP_UTF8, 0, units, static_cast<int>(count), buffer.get(), bytes, nullptr, nullptr);
  WriteFile(out, buffer.get(), static_cast<DWORD>(bytes), &written, nullptr);
}

void print(const text& line) { write_text(STD_OUTPUT_HANDLE, line.c_str(), line.size()); }
void complain(const text& line) { write_text(STD_ERROR_HANDLE, line.c_str(), line.size()); }

int usage_error(const wchar_t* problem) {
  complain(text(L"dodadev-call: ") + problem + L" (see dodadev-call --help)\n");
  return exit_usage;
}

// A request file: UTF-16LE after FF FE, else UTF-8 (mark optional), else the ANSI code page.
bool read_request_file(const wchar_t* path, text& request) {
  kv::client::file_bytes bytes;
  if (FAILED(kv::client::read_file_bytes(path, 64 * 1024 * 1024, bytes))) return false;
  request.clear();
  kv::client::append_text_of(bytes.data(), bytes.size, request);
  return true;
}

// A text file as script hosts read Unicode text: UTF-16LE after the byte-order mark FF FE.
bool write_unicode_file(const wchar_t* path, const text& content) {
  kv::unique_file file(
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const text marked = L"\xFEFF" + content;
  const DWORD bytes = static_cast<DWORD>(marked.size() * sizeof(wchar_t));
  DWORD written = 0;
  return WriteFile(file.get(), marked.data(), bytes, &written, nullptr) && written == bytes;
}

// --encode, --decode and their -file forms: the text in or out of the call text coding, printed
// or, with --output, written to a file.
struct coding_request {
  bool encode = true;
  const wchar_t* input = nullptr;
  bool input_is_file = false;
  const wchar_t* output_file = nullptr;
};

int code_text(const coding_request& request) {
  text input;
  if (request.input_is_file) {
    if (!read_request_file(request.input, input)) {
      complain(text(L"dodadev-call: cannot read ") + request.input + L"\n");
      return exit_usage;
    }
    // A coded text holds no line breaks; one an editor added at the end is not part of it.
    while (!request.encode && !input.empty() && (input.back() == L'\n' || input.back() == L'\r')) input.pop_back();
  } else {
    input = request.input;
  }
  kv::unique_bstr output;
  const HRESULT hr = request.encode ? encode_call_text(input.c_str(), output.put())
                                    : decode_call_text(input.c_str(), output.put());
  if (FAILED(hr)) {
    complain(L"dodadev-call: the coding failed: " + kv::client::describe_result(hr) + L"\n");
    return exit_refused;
  }
  text shown(output.get());
  if (!shown.empty() && shown[0] == 0xFEFF) shown.erase(0, 1);
  if (!request.output_file) {
    print(shown + L"\n");
  } else if (!write_unicode_file(request.output_file, shown)) {
    complain(text(L"dodadev-call: cannot write ") + request.output_file + L"\n");
    return exit_usage;
  }
  return exit_ok;
}

// Where COM would start the server from, for a failed activation: the registered LocalServer32
// and whether that program exists.
text server_registration_note() {
  wchar_t command[MAX_PATH * 2] = {};
  DWORD bytes = sizeof command - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, L"CLSID\\{01B5C31E-59A2-4194-9DCC-05F6FE00F066}\\LocalServer32", nullptr,
                   RRF_RT_REG_SZ, nullptr, command, &bytes) != ERROR_SUCCESS) {
    return L"No LocalServer32 is registered for LU_proxy_disp.\n";
  }
  text note = L"LocalServer32 of LU_proxy_disp: " + text(command) + L"\n";
  text program(command);
  if (!program.empty() && program[0] == L'"') {
    const std::size_t end = program.find(L'"', 1);
    program = program.substr(1, end == text::npos ? text::npos : end - 1);
  } else {
    program = program.substr(0, program.find(L' '));
  }
  if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
    note += L"That program does not exist: the server was moved or removed. Register it again from where it is "
            L"now: DoDadev.exe /RegServer.\n";
  }
  return note;
}

HRESULT invoke_call_function(LU_proxy_disp_i* object, BSTR arg, BSTR* ret, LONG* ret_code) {
  VARIANTARG args[3];
  for (VARIANTARG& arg_variant : args) VariantInit(&arg_variant);
  // Arguments go in reverse order: ret_code, ret, arg.
  args[2].vt = VT_BSTR;
  args[2].bstrVal = arg;
  args[1].vt = VT_BYREF | VT_BSTR;
  args[1].pbstrVal = ret;
  args[0].vt = VT_BYREF | VT_I4;
  args[0].plVal = ret_code;
  DISPPARAMS parameters = {args, nullptr, 3, 0};
  kv::unique_variant result;
  kv::unique_excepinfo exception;
  UINT bad_argument = 0;
  HRESULT hr = object->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, result.put(),
                              exception.put(), &bad_argument);
  if (hr == DISP_E_EXCEPTION && exception.get().scode) hr = exception.get().scode;
  return hr;
}

int call(const text& request, bool dispatch) {
  const kv::com_apartment com;
  if (FAILED(com.result())) {
    complain(L"dodadev-call: COM cannot be initialised: " + kv::client::describe_result(com.result()) + L"\n");
    return exit_com;
  }
  kv::com_ptr<LU_proxy_disp_i> object;
  HRESULT hr =
      CoCreateInstance(CLSID_LU_proxy_disp, nullptr, CLSCTX_LOCAL_SERVER, IID_LU_proxy_disp_i, object.put_void());
  if (FAILED(hr)) {
    text message = L"dodadev-call: cannot create LU_proxy_disp: " + kv::client::describe_result(hr) + L"\n";
    if (const wchar_t* advice = kv::client::activation_advice(hr)) message += text(advice) + L"\n";
    if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_SERVER_EXEC_FAILURE) message += server_registration_note();
    complain(message);
    return exit_com;
  }

  kv::client::wiped_bstr arg;
  hr = encode_call_text(request.c_str(), arg.put());
  if (FAILED(hr)) {
    complain(L"dodadev-call: the request cannot be coded: " + kv::client::describe_result(hr) + L"\n");
    return exit_refused;
  }
  kv::unique_bstr ret;
  LONG ret_code = 0;
  hr = dispatch ? invoke_call_function(object.get(), arg.get(), ret.put(), &ret_code)
                : object->call_function(arg.get(), ret.put(), &ret_code);
  if (FAILED(hr)) {
    text message = L"dodadev-call: the call failed: " + kv::client::describe_result(hr) + L"\n";
    if (const wchar_t* advice = kv::client::activation_advice(hr)) message += text(advice) + L"\n";
    complain(message);
    return exit_com;
  }

  // Through IDispatch the method's own S_FALSE arrives as S_OK: ret_code tells the outcome.
  text report = (dispatch ? L"method result (IDispatch::Invoke): " : L"method result: ") +
                kv::client::describe_result(hr) + L"\n";
  report += L"ret_code: " + kv::client::describe_result(ret_code) + L"\n";
  if (ret.get()) {
    kv::unique_bstr plain;
    const HRESULT decoded = decode_call_text(ret.get(), plain.put());
    if (FAILED(decoded)) {
      report += L"result: cannot be decoded: " + kv::client::describe_result(decoded) + L"\n";
    } else {
      text document(plain.get());
      if (!document.empty() && document[0] == 0xFEFF) document.erase(0, 1);
      report += L"result:\n" + document;
      if (document.empty() || document.back() != L'\n') report += L"\n";
    }
  }
  print(report);
  if (ret_code == static_cast<LONG>(0x80040154)) {
    complain(
        L"dodadev-call: the server could not create the keystore provider (class not registered): install and "
        L"register the keystore provider.\n");
  }
  return hr == S_OK && ret_code >= 0 ? exit_ok : exit_refused;
}

// A --secret NAME=SOURCE: read after the whole command line was checked, in its order.
struct pending_secret {
  std::size_t parameter;  // the index of its parameter; unused for --import-pfx
  const wchar_t* form;    // SOURCE as written
  kv::client::secret_source source;
};

// "dodadev-call: --secret password=file:C:\pw.txt: the file cannot be read (0x80070002 ...)"
text secret_failure(const wchar_t* name, const wchar_t* form, const wchar_t* problem, HRESULT hr) {
  return text(L"dodadev-call: --secret ") + name + L"=" + form + L": " + problem + L" (" +
         kv::client::describe_result(hr) + L")\n";
}

// The certificate parameters written @FILE get the serial number and issuer of that file's
// certificate.
int read_certificate_files(kv::client::request_parameter* parameters, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    kv::client::request_parameter& parameter = parameters[i];
    if (parameter.certificate_file.empty()) continue;
    kv::unique_cert_context certificate;
    const wchar_t* problem = L"";
    const HRESULT hr = kv::client::read_certificate_file(parameter.certificate_file.c_str(), certificate, &problem);
    if (FAILED(hr)) {
      complain(L"dodadev-call: " + parameter.name + L"=@" + parameter.certificate_file + L": " + problem + L" (" +
               kv::client::describe_result(hr) + L")\n");
      return exit_usage;
    }
    kv::client::certificate_identity identity = kv::client::identity_of(certificate.get());
    parameter.serial_number = std::move(identity.serial_number);
    parameter.issuer = std::move(identity.issuer);
  }
  return exit_ok;
}

// --import-pfx FILE: its certificates with keys into the user's MY store. The file is checked
// before its password is asked for.
int import_pfx_file(const wchar_t* path, const pending_secret* password_source) {
  const wchar_t* problem = L"";
  kv::client::file_bytes pfx;
  HRESULT hr = kv::client::read_pfx_file(path, pfx, &problem);
  if (FAILED(hr)) {
    complain(text(L"dodadev-call: --import-pfx ") + path + L": " + problem + L" (" + kv::client::describe_result(hr) +
             L")\n");
    return exit_usage;
  }
  kv::client::wiped_text password;
  const text label = text(L"password of ") + path;
  const kv::client::secret_source prompt;  // without --secret password=SOURCE
  hr = kv::client::read_secret(password_source ? password_source->source : prompt, label.c_str(), password, &problem);
  if (FAILED(hr)) {
    complain(secret_failure(L"password", password_source ? password_source->form : L"prompt", problem, hr));
    return exit_usage;
  }
  kv::client::imported_certificates added;
  hr = kv::client::import_pfx(pfx, password.c_str(), added, &problem);
  password = {};
  if (FAILED(hr)) {
    complain(text(L"dodadev-call: --import-pfx ") + path + L": " + problem + L" (" + kv::client::describe_result(hr) +
             L")\n");
    return exit_refused;
  }
  text report;
  for (const kv::client::imported_certificate& certificate : added) {
    report += L"added to the current user's MY store: " + certificate.subject + L"\n  certificate=serial:" +
              certificate.identity.serial_number + L",issuer:" + certificate.identity.issuer + L"\n";
  }
  print(report);
  return exit_ok;
}

// The command line as written, each option and parameter checked for its form. Files and secrets
// are read only after the whole line was checked.
struct command_line {
  bool help = false;
  bool dispatch = false;
  bool show_request = false;
  const wchar_t* request_file = nullptr;
  const wchar_t* function = nullptr;
  const wchar_t* pfx_file = nullptr;
  std::vector<kv::client::request_parameter, kv::wiping_allocator<kv::client::request_parameter>> parameters;
  std::vector<pending_secret, kv::wiping_allocator<pending_secret>> secrets;
  coding_request coding;
};

// --secret NAME=SOURCE: a parameter whose value is read later, in the order of the secrets.
int add_secret(const wchar_t* written, command_line& command) {
  const wchar_t* equals = wcschr(written, L'=');
  if (!equals || equals == written) return usage_error(L"--secret is written NAME=SOURCE");
  pending_secret secret{command.parameters.size(), equals + 1, {}};
  if (!kv::client::parse_secret_source(secret.form, secret.source)) {
    return usage_error(L"a secret's SOURCE is prompt, stdin, file:PATH or env:VAR");
  }
  kv::client::request_parameter parameter;
  parameter.name.assign(written, static_cast<std::size_t>(equals - written));
  parameter.secret = true;
  command.parameters.push_back(std::move(parameter));
  command.secrets.push_back(std::move(secret));
  return exit_ok;
}

// NAME=VALUE, or the NAME=CERT after --cert.
int add_parameter(const wchar_t* written, bool as_certificate, command_line& command) {
  kv::client::request_parameter parameter;
  const wchar_t* problem = nullptr;
  if (!kv::client::parse_parameter(written, as_certificate, parameter, &problem)) return usage_error(problem);
  command.parameters.push_back(std::move(parameter));
  return exit_ok;
}

// The arguments into `command`, up to --help if it comes; a usage error's exit code for the first
// argument that is wrongly written.
int read_command_line(int argc, wchar_t** argv, command_line& command) {
  for (int i = 1; i < argc; ++i) {
    const text argument(argv[i]);
    const bool has_value = i + 1 < argc;
    if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
      command.help = true;
      return exit_ok;
    }
    if (argument == L"--encode" || argument == L"--decode" || argument == L"--encode-file" ||
        argument == L"--decode-file") {
      if (!has_value) return usage_error(L"--encode and --decode need a text, their -file forms a file");
      if (command.coding.input) return usage_error(L"one coding at a time");
      command.coding.encode = argument.compare(0, 8, L"--encode") == 0;
      command.coding.input_is_file = argument.size() > 8;
      command.coding.input = argv[++i];
    } else if (argument == L"--output") {
      if (!has_value) return usage_error(L"--output needs a file");
      command.coding.output_file = argv[++i];
    } else if (argument == L"--dispatch") {
      command.dispatch = true;
    } else if (argument == L"--show-request") {
      command.show_request = true;
    } else if (argument == L"--request") {
      if (!has_value) return usage_error(L"--request needs a file");
      command.request_file = argv[++i];
    } else if (argument == L"--import-pfx") {
      if (!has_value) return usage_error(L"--import-pfx needs a PFX file");
      command.pfx_file = argv[++i];
    } else if (argument == L"--secret") {
      if (!has_value) return usage_error(L"--secret needs NAME=SOURCE");
      if (const int failed = add_secret(argv[++i], command)) return failed;
    } else if (argument == L"--cert" || (command.function && argument.find(L'=') != text::npos)) {
      const bool as_certificate = argument == L"--cert";
      if (as_certificate && !has_value) {
        return usage_error(L"--cert needs NAME=@FILE or NAME=serial:BASE64,issuer:BASE64");
      }
      if (const int failed = add_parameter(as_certificate ? argv[++i] : argv[i], as_certificate, command)) {
        return failed;
      }
    } else if (argument.compare(0, 2, L"--") == 0) {
      return usage_error(L"unknown option");
    } else if (!command.function) {
      command.function = argv[i];
    } else {
      return usage_error(L"a parameter must be written NAME=VALUE");
    }
  }
  return exit_ok;
}

// --import-pfx FILE, with nothing else but its password's --secret.
int run_import_pfx(const command_line& command) {
  if (command.function || command.request_file || command.dispatch || command.show_request || command.coding.input ||
      command.coding.output_file) {
    return usage_error(L"--import-pfx takes no call");
  }
  const bool only_password = command.secrets.size() == command.parameters.size() && command.secrets.size() <= 1 &&
                             (command.parameters.empty() || command.parameters[0].name == L"password");
  if (!only_password) return usage_error(L"--import-pfx takes no parameters but --secret password=SOURCE");
  return import_pfx_file(command.pfx_file, command.secrets.empty() ? nullptr : &command.secrets[0]);
}

// --encode or --decode (or a -file form), with no call.
int run_coding(const command_line& command) {
  if (command.function || command.request_file || command.dispatch || command.show_request ||
      !command.parameters.empty()) {
    return usage_error(L"--encode and --decode take no call");
  }
  return code_text(command.coding);
}

// --request FILE: the document in the file, sent as it stands.
int read_request_of(const command_line& command, text& request) {
  if (command.function || !command.parameters.empty()) return usage_error(L"--request takes no function or parameters");
  if (!read_request_file(command.request_file, request)) {
    complain(text(L"dodadev-call: cannot read ") + command.request_file + L"\n");
    return exit_usage;
  }
  return exit_ok;
}

// The values of the --secret parameters, read in the order they were given.
int read_secrets(command_line& command) {
  for (const pending_secret& secret : command.secrets) {
    kv::client::request_parameter& parameter = command.parameters[secret.parameter];
    const wchar_t* problem = L"";
    const HRESULT hr = kv::client::read_secret(secret.source, parameter.name.c_str(), parameter.value, &problem);
    if (FAILED(hr)) {
      complain(secret_failure(parameter.name.c_str(), secret.form, problem, hr));
      return exit_usage;
    }
  }
  return exit_ok;
}

// FUNCTION with its parameters: the request document once every certificate file and secret is
// read, and for --show-request the same document with the secrets hidden.
int build_call_request(command_line& command, text& request, text& shown) {
  if (!command.function) return usage_error(L"no function named");
  // Certificate files first: nobody types a password for a call that cannot be made.
  if (const int failed = read_certificate_files(command.parameters.data(), command.parameters.size())) return failed;
  if (const int failed = read_secrets(command)) return failed;
  request = kv::client::build_request(command.function, command.parameters.data(), command.parameters.size());
  if (command.show_request) {
    shown = kv::client::build_request(command.function, command.parameters.data(), command.parameters.size(),
                                      kv::client::request_view::shown);
  }
  return exit_ok;
}

int run(int argc, wchar_t** argv) {
  if (argc < 2) return usage_error(L"nothing to call");
  command_line command;
  if (const int failed = read_command_line(argc, argv, command)) return failed;
  if (command.help) {
    print(help_text);
    return exit_ok;
  }
  if (command.pfx_file) return run_import_pfx(command);
  if (command.coding.input) return run_coding(command);
  if (command.coding.output_file) return usage_error(L"--output goes with --encode or --decode");
  text request;
  text shown;
  if (command.request_file) {
    if (const int failed = read_request_of(command, request)) return failed;
    if (command.show_request) shown = request;
  } else if (const int failed = build_call_request(command, request, shown)) {
    return failed;
  }
  if (command.show_request) print(L"request: " + shown + L"\n");
  return call(request, command.dispatch);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    complain(L"dodadev-call: out of memory\n");
    return exit_refused;
  }
}
