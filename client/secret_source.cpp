#include "client/secret_source.h"

#include <atomic>
#include <string>

#include "client/file_text.h"
#include "win/owners.h"

namespace kv::client {

namespace {

// Far above any password; a longer line is a mistake (a wrong file, a binary on standard input).
constexpr std::size_t longest_secret_bytes = 64 * 1024;

using byte_text = std::basic_string<char, std::char_traits<char>, wiping_allocator<char>>;

void wipe_bytes(byte_text& value) noexcept {
  SecureZeroMemory(value.data(), value.capacity());
  value.clear();
}

// The console's input mode before the prompt switched its echo off, for the handler below.
std::atomic<HANDLE> prompting_console{nullptr};
std::atomic<DWORD> mode_before_prompt{0};

// Ctrl+C or Ctrl+Break during the prompt ends the process: the echo comes back first.
BOOL WINAPI restore_echo_on_break(DWORD) {
  if (HANDLE console = prompting_console.exchange(nullptr)) SetConsoleMode(console, mode_before_prompt.load());
  return FALSE;
}

// The console's echo off for the owner's lifetime, restored as it was.
class echo_off {
 public:
  explicit echo_off(HANDLE console) noexcept : console_(console) {
    if (!GetConsoleMode(console, &mode_)) return;
    mode_before_prompt = mode_;
    prompting_console = console;
    SetConsoleCtrlHandler(restore_echo_on_break, TRUE);
    switched_ = SetConsoleMode(console, (mode_ | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
  }
  echo_off(const echo_off&) = delete;
  echo_off& operator=(const echo_off&) = delete;
  ~echo_off() {
    if (prompting_console.exchange(nullptr)) SetConsoleMode(console_, mode_);
    SetConsoleCtrlHandler(restore_echo_on_break, FALSE);
  }
  bool switched() const noexcept { return switched_; }

 private:
  HANDLE console_;
  DWORD mode_ = 0;
  bool switched_ = false;
};

void write_console(HANDLE console, const text& message) {
  DWORD written = 0;
  WriteConsoleW(console, message.c_str(), static_cast<DWORD>(message.size()), &written, nullptr);
}

// "LABEL: " on the console, then one line read with the echo off.
HRESULT ask_console(HANDLE input, const wchar_t* label, text& secret, const wchar_t** problem) {
  kv::unique_file output(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  if (output) write_console(output.get(), text(label) + L": ");
  HRESULT hr = S_OK;
  {
    const echo_off quiet(input);
    if (!quiet.switched()) {
      *problem = L"the console's echo cannot be switched off";
      return HRESULT_FROM_WIN32(GetLastError());
    }
    wchar_t buffer[256];
    for (;;) {
      DWORD got = 0;
      const BOOL read = ReadConsoleW(input, buffer, 256, &got, nullptr);
      if (read) secret.append(buffer, got);
      SecureZeroMemory(buffer, sizeof buffer);
      if (!read) {
        hr = HRESULT_FROM_WIN32(GetLastError());
        *problem = L"the console cannot be read";
        break;
      }
      if (got == 0) {
        hr = HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
        *problem = L"the console gave no line";
        break;
      }
      if (secret.find_first_of(L"\r\n") != text::npos) break;
      if (secret.size() > longest_secret_bytes) {
        hr = HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        *problem = L"the line is too long for a secret";
        break;
      }
    }
  }
  // The typed line end was not echoed either.
  if (output) write_console(output.get(), L"\r\n");
  if (FAILED(hr)) wipe(secret);
  keep_first_line(secret);
  return hr;
}

HRESULT ask_at_console(const wchar_t* label, text& secret, const wchar_t** problem) {
  const kv::unique_file input(CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD mode = 0;
  if (!input || !GetConsoleMode(input.get(), &mode)) {
    *problem = L"there is no console to ask at (use stdin or file:PATH)";
    return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  }
  return ask_console(input.get(), label, secret, problem);
}

// One line of standard input, read a byte at a time so that the next secret finds the next line.
HRESULT read_standard_input_line(const wchar_t* label, text& secret, const wchar_t** problem) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    return ask_console(input, label, secret, problem);
  }
  if (!input || input == INVALID_HANDLE_VALUE) {
    *problem = L"there is no standard input";
    return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  }
  byte_text line;
  bool ended = false;
  for (;;) {
    char byte = 0;
    DWORD got = 0;
    // A pipe whose writer is gone answers ERROR_BROKEN_PIPE: the end of the input like a file's.
    if (!ReadFile(input, &byte, 1, &got, nullptr) || got == 0) {
      ended = true;
      break;
    }
    if (byte == '\n') break;
    line += byte;
    byte = 0;
    if (line.size() > longest_secret_bytes) {
      wipe_bytes(line);
      *problem = L"the line on standard input is too long for a secret";
      return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
    }
  }
  if (ended && line.empty()) {
    *problem = L"standard input ended before the line with the secret";
    return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
  }
  append_text_of(reinterpret_cast<const unsigned char*>(line.data()), line.size(), secret);
  wipe_bytes(line);
  keep_first_line(secret);
  return S_OK;
}

HRESULT read_file_line(const wchar_t* path, text& secret, const wchar_t** problem) {
  file_bytes bytes;
  const HRESULT hr = read_file_bytes(path, longest_secret_bytes, bytes);
  if (FAILED(hr)) {
    *problem = hr == HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE) ? L"the file is too large for a secret"
                                                              : L"the file cannot be read";
    return hr;
  }
  if (bytes.size == 0) {
    *problem = L"the file is empty";
    return HRESULT_FROM_WIN32(ERROR_HANDLE_EOF);
  }
  append_text_of(bytes.data(), bytes.size, secret);
  keep_first_line(secret);
  return S_OK;
}

HRESULT read_environment(const wchar_t* variable, text& secret, const wchar_t** problem) {
  SetLastError(ERROR_SUCCESS);
  DWORD needed = GetEnvironmentVariableW(variable, nullptr, 0);  // counts the terminating NUL
  if (needed == 0) {
    if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) return S_OK;
    *problem = L"the environment variable is not set";
    return HRESULT_FROM_WIN32(ERROR_ENVVAR_NOT_FOUND);
  }
  for (;;) {
    secret.resize(needed);
    const DWORD units = GetEnvironmentVariableW(variable, secret.data(), needed);
    if (units < needed) {
      secret.resize(units);
      return S_OK;
    }
    wipe(secret);  // it grew in between
    needed = units;
  }
}

}  // namespace

bool parse_secret_source(const wchar_t* form, secret_source& source) {
  const text whole(form ? form : L"");
  source = {};
  if (whole == L"prompt") {
    source.kind = secret_kind::prompt;
  } else if (whole == L"stdin") {
    source.kind = secret_kind::standard_input;
  } else if (whole.size() > 5 && whole.compare(0, 5, L"file:") == 0) {
    source.kind = secret_kind::file;
    source.where = whole.substr(5);
  } else if (whole.size() > 4 && whole.compare(0, 4, L"env:") == 0) {
    source.kind = secret_kind::environment;
    source.where = whole.substr(4);
  } else {
    return false;
  }
  return true;
}

HRESULT read_secret(const secret_source& source, const wchar_t* label, wiped_text& secret, const wchar_t** problem) {
  wipe(secret.get());
  switch (source.kind) {
    case secret_kind::prompt:
      return ask_at_console(label, secret.get(), problem);
    case secret_kind::standard_input:
      return read_standard_input_line(label, secret.get(), problem);
    case secret_kind::file:
      return read_file_line(source.where.c_str(), secret.get(), problem);
    case secret_kind::environment:
      return read_environment(source.where.c_str(), secret.get(), problem);
  }
  return E_INVALIDARG;
}

void keep_first_line(text& value) noexcept {
  const std::size_t end = value.find_first_of(L"\r\n");
  if (end == text::npos) return;
  SecureZeroMemory(value.data() + end, (value.size() - end) * sizeof(wchar_t));
  value.resize(end);
}

}  // namespace kv::client
