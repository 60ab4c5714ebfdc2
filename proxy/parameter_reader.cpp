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

// The node interface has no step to the next sibling, and get_child(i, ...) counts from the first
// child every time, so asking for index 0, 1, 2, ... is quadratic in the number of children.
// Instead each child is examined at the head of the list and then moved to a holder element of
// this private document (both steps cost the same for any number of children), which visits
// every child once, in document order. The first match of each name is kept.
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
  KV_xml_node* holder = nullptr;
  std::size_t missing = count_;
  while (missing != 0) {
    KV_xml_node* child = function->get_child(0, nullptr);
    if (!child) break;
    if (equals_nocase(child->get_name(), L"parameter")) {
      const wchar_t* name = child->get_attribute_value(L"name");
      for (std::size_t i = 0; i < count_; ++i) {
        if (!found_[i] && same_text(name, names_[i])) {
          found_[i] = child;
          --missing;
        }
      }
    }
    if (!holder) holder = root->add_child(L"examined");
    function->detach_child(child);
    holder->append_child(child);
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
