#pragma once
// The rules a provider is checked against and the report of one run: per rule the first failure
// (with the call that showed it) and how many more there were, or the reason it was skipped;
// printed as lines of text or as JSON.
#include <windows.h>

#include <array>
#include <string>

namespace kv::check {

enum class rule : unsigned char {
  answer_code,
  out_text,
  path_list,
  single_path,
  xml_characters,
  last_release,
  factory_aggregation,
  factory_interfaces,
  query_interface,
  arguments_not_kept,
  certificate_freed,
  no_exception,
  time_limit,
  round_trip_keys,
  round_trip_passwords,
};
inline constexpr int rule_count = 15;

struct rule_text {
  const wchar_t* name;     // "answer-code"
  const wchar_t* meaning;  // what a PASS says
};
const rule_text& text_of(rule which) noexcept;

enum class verdict : unsigned char { pass, fail, skip };

class report {
 public:
  // One check of `which` held.
  void passed(rule which);
  // One check of `which` failed in `call` (an operation with its inputs, or what was done).
  // The first failure is kept; later ones are counted.
  void failed(rule which, const std::wstring& call, const std::wstring& what);
  // Why `which` could not be checked; shown when no check of it was made. The first reason stays.
  void cannot_check(rule which, const std::wstring& reason);

  verdict verdict_of(rule which) const;
  // The failing call, what went wrong, the count of further failures, or the reason of a skip.
  const std::wstring& call_of(rule which) const { return entry(which).call; }
  const std::wstring& what_of(rule which) const { return entry(which).what; }
  int more_failures_of(rule which) const { return entry(which).failures > 0 ? entry(which).failures - 1 : 0; }
  std::wstring reason_of(rule which) const;

  int count(verdict wanted) const;

 private:
  struct rule_entry {
    int passes = 0;
    int failures = 0;
    std::wstring call, what, reason;
  };
  const rule_entry& entry(rule which) const { return entries_[static_cast<std::size_t>(which)]; }
  rule_entry& entry(rule which) { return entries_[static_cast<std::size_t>(which)]; }

  std::array<rule_entry, rule_count> entries_;
};

// One line per rule ("PASS name: meaning", "FAIL name: call: what (and N more)", "SKIP name:
// reason"), then "N passed, N failed".
std::wstring report_as_text(const report& results, const std::wstring& provider);
// The same as one JSON object.
std::wstring report_as_json(const report& results, const std::wstring& provider, DWORD time_limit_ms);

// To a console as UTF-16, anywhere else as UTF-8.
void write_output(const std::wstring& text);
void write_error(const std::wstring& text);

// "0x80070057 (The parameter is incorrect.)", "0x00000000 S_OK".
std::wstring describe_hresult(HRESULT hr);

}  // namespace kv::check
