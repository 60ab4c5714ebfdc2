#include "proxy/parameter_reader.h"

#include "proxy/trace_text.h"
#include "trace/trace.h"

namespace kv {

namespace {

// A parameter answers a request only when its name is the same text, letter case included.
bool same_text(const wchar_t* a, const wchar_t* b) noexcept {
  if (!a || !b) return a == b;
  for (; *a == *b; ++a, ++b) {
    if (!*a) return true;
  }
  return false;
}

}  // namespace

parameter_reader::parameter_reader(const wchar_t* request, const wchar_t* const* names, std::size_t count)
    : request_(request), names_(names), count_(count < max_names ? count : max_names) {}

void parameter_reader::report_missing(const wchar_t* getter, const wchar_t* name, std::int32_t* ok) {
  *ok = 0;
  const trace_text shown(name);
  trace_report(getter, L"Failed to find a parameter named '%ls'\n", shown.get());
}

// Visits the children of "function" once, in document order (a walk by index continues where the
// previous call stopped), and keeps the first match of each name.
void parameter_reader::read() {
  load_result_ = document_->load_from_string(request_);
  if (!load_result_) {
    state_ = state::unloadable;
    return;
  }
  KV_xml_node* root = document_->get_root();
  KV_xml_node* function = root ? root->get_child(0, L"function") : nullptr;
  if (!function) {
    state_ = state::no_function;
    return;
  }
  state_ = state::ready;
  std::size_t missing = count_;
  for (int index = 0; missing != 0; ++index) {
    KV_xml_node* parameter = function->get_child(index, L"parameter");
    if (!parameter) break;
    const wchar_t* name = parameter->get_attribute_value(L"name");
    for (std::size_t i = 0; i < count_; ++i) {
      if (!found_[i] && same_text(name, names_[i])) {
        found_[i] = parameter;
        --missing;
      }
    }
  }
}

KV_xml_node* parameter_reader::find(const wchar_t* getter, const wchar_t* name, std::int32_t* ok) {
  if (!*ok) return nullptr;
  if (state_ == state::unread) read();
  switch (state_) {
    case state::unloadable:
      *ok = load_result_;
      trace_report(getter, L"Failed to load parameters document!\n");
      return nullptr;
    case state::no_function:
      *ok = 0;
      trace_report(getter, L"Failed to locate function node!\n");
      return nullptr;
    case state::ready:
    case state::unread:
      break;
  }
  for (std::size_t i = 0; i < count_; ++i) {
    if (same_text(names_[i], name)) {
      if (found_[i]) return found_[i];
      break;
    }
  }
  report_missing(getter, name, ok);
  return nullptr;
}

}  // namespace kv
