#include "checker/report.h"

#include <cwchar>

#include "win/owners.h"

namespace kv::check {

namespace {

constexpr rule_text rule_texts[rule_count] = {
    {L"answer-code", L"every answer is an HRESULT the server can pass on"},
    {L"out-text", L"every out text is NULL or a real BSTR"},
    {L"path-list", L"every path list ends with an empty text exactly at its BSTR length"},
    {L"single-path", L"every single path holds no NUL within its BSTR length"},
    {L"xml-characters", L"out texts hold only characters that an XML parser accepts"},
    {L"last-release", L"the last Release answers 0 and frees the object"},
    {L"factory-aggregation", L"the class factory refuses aggregation"},
    {L"factory-interfaces", L"the class factory makes the object and refuses unknown classes and interfaces"},
    {L"query-interface", L"QueryInterface is reflexive and symmetric and keeps one IUnknown"},
    {L"arguments-not-kept", L"no argument is touched after the object was released"},
    {L"certificate-freed", L"every certificate context the provider duplicated is freed again"},
    {L"no-exception", L"no exception or crash leaves a method"},
    {L"time-limit", L"every operation answers within the time limit"},
    {L"round-trip-keys", L"a keystore and its keys are created, found, renamed, exported, deleted and imported"},
    {L"round-trip-passwords", L"passwords are verified and changed consistently"},
};

void write_to(DWORD which, const std::wstring& text) {
  HANDLE out = GetStdHandle(which);
  if (!out || out == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD written = 0;
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr, nullptr);
  WriteFile(out, narrow.data(), static_cast<DWORD>(bytes), &written, nullptr);
}

const wchar_t* verdict_word(verdict shown) {
  switch (shown) {
    case verdict::pass:
      return L"PASS";
    case verdict::fail:
      return L"FAIL";
    case verdict::skip:
      return L"SKIP";
  }
  return L"";
}

std::wstring json_string(const std::wstring& text) {
  std::wstring out = L"\"";
  for (const wchar_t unit : text) {
    switch (unit) {
      case L'"':
        out += L"\\\"";
        break;
      case L'\\':
        out += L"\\\\";
        break;
      case L'\n':
        out += L"\\n";
        break;
      default:
        if (unit < 0x20) {
          wchar_t escaped[8];
          std::swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(unit));
          out += escaped;
        } else {
          out += unit;
        }
    }
  }
  return out + L"\"";
}

}  // namespace

const rule_text& text_of(rule which) noexcept { return rule_texts[static_cast<std::size_t>(which)]; }

void report::passed(rule which) { ++entry(which).passes; }

void report::failed(rule which, const std::wstring& call, const std::wstring& what) {
  rule_entry& e = entry(which);
  if (e.failures++ == 0) {
    e.call = call;
    e.what = what;
  }
}

void report::cannot_check(rule which, const std::wstring& reason) {
  if (entry(which).reason.empty()) entry(which).reason = reason;
}

verdict report::verdict_of(rule which) const {
  const rule_entry& e = entry(which);
  if (e.failures > 0) return verdict::fail;
  return e.passes > 0 ? verdict::pass : verdict::skip;
}

std::wstring report::reason_of(rule which) const {
  const rule_entry& e = entry(which);
  return e.reason.empty() ? L"no check of this rule was reached" : e.reason;
}

int report::count(verdict wanted) const {
  int n = 0;
  for (int i = 0; i < rule_count; ++i) n += verdict_of(static_cast<rule>(i)) == wanted;
  return n;
}

std::wstring report_as_text(const report& results, const std::wstring& provider) {
  std::wstring out = L"Provider: " + provider + L"\n";
  for (int i = 0; i < rule_count; ++i) {
    const rule which = static_cast<rule>(i);
    const verdict shown = results.verdict_of(which);
    out += std::wstring(verdict_word(shown)) + L" " + text_of(which).name + L": ";
    switch (shown) {
      case verdict::pass:
        out += text_of(which).meaning;
        break;
      case verdict::fail:
        out += results.call_of(which) + L": " + results.what_of(which);
        if (const int more = results.more_failures_of(which)) out += L" (and " + std::to_wstring(more) + L" more)";
        break;
      case verdict::skip:
        out += results.reason_of(which);
        break;
    }
    out += L"\n";
  }
  out += std::to_wstring(results.count(verdict::pass)) + L" passed, " + std::to_wstring(results.count(verdict::fail)) +
         L" failed\n";
  return out;
}

std::wstring report_as_json(const report& results, const std::wstring& provider, DWORD time_limit_ms) {
  std::wstring out = L"{\"provider\": " + json_string(provider) +
                     L", \"time_limit_seconds\": " + std::to_wstring(time_limit_ms / 1000) + L", \"rules\": [";
  for (int i = 0; i < rule_count; ++i) {
    const rule which = static_cast<rule>(i);
    const verdict shown = results.verdict_of(which);
    out += i ? L",\n  " : L"\n  ";
    out += L"{\"rule\": " + json_string(text_of(which).name) + L", \"result\": " + json_string(verdict_word(shown)) +
           L", \"meaning\": " + json_string(text_of(which).meaning);
    if (shown == verdict::fail) {
      out += L", \"call\": " + json_string(results.call_of(which)) + L", \"problem\": " +
             json_string(results.what_of(which)) + L", \"more_failures\": " +
             std::to_wstring(results.more_failures_of(which));
    } else if (shown == verdict::skip) {
      out += L", \"reason\": " + json_string(results.reason_of(which));
    }
    out += L"}";
  }
  out += L"\n], \"passed\": " + std::to_wstring(results.count(verdict::pass)) +
         L", \"failed\": " + std::to_wstring(results.count(verdict::fail)) +
         L", \"skipped\": " + std::to_wstring(results.count(verdict::skip)) + L"}\n";
  return out;
}

void write_output(const std::wstring& text) { write_to(STD_OUTPUT_HANDLE, text); }
void write_error(const std::wstring& text) { write_to(STD_ERROR_HANDLE, text); }

std::wstring describe_hresult(HRESULT hr) {
  wchar_t number[16];
  std::swprintf(number, 16, L"0x%08X", static_cast<unsigned>(hr));
  std::wstring out = number;
  if (hr == S_OK) return out + L" S_OK";
  if (hr == S_FALSE) return out + L" S_FALSE";
  // A bare small number is no HRESULT at all: the system's text for it would mislead.
  if (hr > 1 && hr < 0x10000) return out;
  kv::unique_local text;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  if (!text) return out;
  std::wstring message = static_cast<const wchar_t*>(text.get());
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
    message.pop_back();
  }
  return message.empty() ? out : out + L" (" + message + L")";
}

}  // namespace kv::check
