#pragma once
// Client-chosen text on its way into the trace log. The log is line-oriented, so a line feed or
// any other control character in a name would let a client write lines of its own; such
// characters (below U+0020, and U+007F) are shown as \xNN. Every other text passes unchanged,
// without a copy.
namespace kv {

class trace_text {
 public:
  // Throws std::bad_alloc when an escaped copy is needed and cannot be made. Null shows as "".
  explicit trace_text(const wchar_t* text);
  ~trace_text();
  trace_text(const trace_text&) = delete;
  trace_text& operator=(const trace_text&) = delete;

  const wchar_t* get() const noexcept { return shown_; }

 private:
  const wchar_t* shown_;
  wchar_t* escaped_ = nullptr;  // owned when the text needed escaping
};

}  // namespace kv
