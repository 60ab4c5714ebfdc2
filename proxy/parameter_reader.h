#pragma once
// The lookup behind the parameter getters: the request parsed once, and the parameters that a
// command will read found in one walk over its "parameter" elements.
#include <cstddef>
#include <cstdint>

#include "xml/xml_owners.h"

namespace kv {

class parameter_reader {
 public:
  static constexpr std::size_t max_names = 5;

  // `names` (at most max_names, borrowed for the reader's life) are the parameters that will be
  // asked for. Nothing is parsed until the first find. Throws std::bad_alloc.
  parameter_reader(const wchar_t* request, const wchar_t* const* names, std::size_t count);
  parameter_reader(const parameter_reader&) = delete;
  parameter_reader& operator=(const parameter_reader&) = delete;

  // The first "parameter" child of the first "function" element whose "name" attribute equals
  // `name` exactly, or null. A flag of 0 on entry gives null at once. Otherwise *ok becomes 0 on
  // failure, with a report under `getter`: the request does not load, has no "function" element,
  // or has no such parameter. The node lives as long as the reader. Throws std::bad_alloc.
  KV_xml_node* find(const wchar_t* getter, const wchar_t* name, std::int32_t* ok);

  // Reports a parameter that is missing or cannot be converted, and clears the flag.
  static void report_missing(const wchar_t* getter, const wchar_t* name, std::int32_t* ok);

 private:
  enum class state : unsigned char { unread, unloadable, no_function, ready };
  void read();

  const wchar_t* request_;
  const wchar_t* const* names_;
  std::size_t count_;
  state state_ = state::unread;
  std::int32_t load_result_ = 0;
  KV_xml_node* found_[max_names] = {};
  xml_document document_;
};

}  // namespace kv
