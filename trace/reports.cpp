// Error reports: a result code or the last-error value with the system's text for it.
#include <new>

#include "trace/trace.h"
#include "trace/trace_internal.h"
#include "types/kv_alloc.h"
#include "types/wide.h"
#include "win/owners.h"

namespace kv::trace_detail {

namespace {

// Codes with any of bits 20-27 set are looked up with those bits cleared and marked "Special".
constexpr std::uint32_t special_bits = 0x0FF00000;
constexpr std::size_t report_units_beside_text = 200;

// The system's message text for `code`, freed with LocalFree.
class system_text {
 public:
  explicit system_text(std::uint32_t code) {
    // The system allocates the text; the allocation seam still gets its say.
    if (mem_injected_failure()) return;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<wchar_t*>(text_.put()), 0, nullptr);
  }
  const wchar_t* get() const { return static_cast<const wchar_t*>(text_.get()); }

 private:
  unique_local text_;
};

}  // namespace

void write_error_report(const wchar_t* name, std::uint32_t code) {
  const bool special = (code & special_bits) != 0;
  const system_text text(special ? code & ~special_bits : code);

  owned_text module;
  const bool have_module = module_base_name(module);
  owned_text shown;
  shown_name(shown, name, have_module, module.get());

  owned_text report;
  const std::size_t units = wide_length(text.get()) + wide_length(shown.get()) + report_units_beside_text;
  const wchar_t* mark = special ? L"Special" : L"";
  const unsigned value = code;
  const bool formatted =
      text.get() ? format_text(report, units, L"%ls: %lsError: 0x%08x ==> %ls", shown.get(), mark, value, text.get())
                 : format_text(report, units, L"%ls: %lsError: 0x%08x\n", shown.get(), mark, value);
  if (formatted) trace_write(report.get());
}

}  // namespace kv::trace_detail

using namespace kv::trace_detail;

void trace_result_code(const wchar_t* name, std::uint32_t code) {
  last_error_keeper keeper;
  try {
    write_error_report(name ? name : L"", code);
  } catch (const std::bad_alloc&) {
  }
}

void trace_last_error(const wchar_t* name) {
  last_error_keeper keeper;
  try {
    write_error_report(name ? name : L"", keeper.saved());
  } catch (const std::bad_alloc&) {
  }
}
