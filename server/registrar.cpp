#include "server/registrar.h"

#include <cstdint>
#include <new>
#include <vector>

#include "trace/trace.h"
#include "types/kv_paths.h"
#include "types/kv_string.h"
#include "types/wide.h"
#include "win/kv_hresult.h"
#include "win/owners.h"

namespace kv {

namespace {

constexpr wchar_t trace_name[] = L"kv::run_registry_script";

template <typename T>
using list = std::vector<T, mem_allocator<T>>;

enum class key_flag { none, no_remove, force_remove };

struct script_data {
  DWORD type = REG_SZ;
  KV_string text;
  DWORD number = 0;
};

struct script_value {
  KV_string name;
  script_data data;
};

struct script_key {
  KV_string name;
  key_flag flag = key_flag::none;
  bool has_default = false;
  script_data default_data;
  list<script_value> values;
  list<script_key> children;
};

struct script_root {
  HKEY registrar_roots::*root = nullptr;
  list<script_key> keys;
};

// ---- Reading -------------------------------------------------------------------------------

enum class token_kind { end, open, close, equals, word, quoted };

struct token {
  token_kind kind = token_kind::end;
  KV_string text;
  bool replaced = false;  // a replacement went into the text, so it is never a keyword
  unsigned line = 0;
  unsigned column = 0;
};

// Thrown inside the parser only, caught by parse().
struct refusal {
  HRESULT code;
  unsigned line;
  unsigned column;
  const wchar_t* reason;
};

bool is_blank(wchar_t c) noexcept { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
bool ends_word(wchar_t c) noexcept {
  return c == 0 || is_blank(c) || c == L'{' || c == L'}' || c == L'=' || c == L'\'';
}

class text_buffer {
 public:
  void add(wchar_t c) { units_.push_back(c); }
  void add(const wchar_t* text) {
    for (; *text; ++text) units_.push_back(*text);
  }
  KV_string take() {
    units_.push_back(0);
    KV_string text(units_.data());
    units_.clear();
    return text;
  }

 private:
  list<wchar_t> units_;
};

class tokenizer {
 public:
  tokenizer(const wchar_t* text, const registrar_replacement* replacements, std::size_t count)
      : at_(text), line_start_(text), replacements_(replacements), count_(count) {}

  token next() {
    skip_blanks();
    token result;
    result.line = line_;
    result.column = column();
    switch (*at_) {
      case 0:
        return result;
      case L'{':
        ++at_;
        result.kind = token_kind::open;
        return result;
      case L'}':
        ++at_;
        result.kind = token_kind::close;
        return result;
      case L'=':
        ++at_;
        result.kind = token_kind::equals;
        return result;
      case L'\'':
        read_quoted(result);
        return result;
      default:
        read_word(result);
        return result;
    }
  }

 private:
  unsigned column() const noexcept { return static_cast<unsigned>(at_ - line_start_) + 1; }

  void skip_blanks() noexcept {
    for (; is_blank(*at_); ++at_) {
      if (*at_ == L'\n') {
        ++line_;
        line_start_ = at_ + 1;
      }
    }
  }

  [[noreturn]] void refuse(HRESULT code, const wchar_t* reason) const { throw refusal{code, line_, column(), reason}; }

  void read_quoted(token& result) {
    const unsigned line = line_;
    const unsigned column = result.column;
    ++at_;
    text_buffer text;
    for (;;) {
      if (*at_ == 0) throw refusal{registrar_e_syntax, line, column, L"unterminated quoted text"};
      if (*at_ == L'\'') {
        if (at_[1] != L'\'') break;
        text.add(L'\'');
        at_ += 2;
        continue;
      }
      if (*at_ == L'%') {
        replace(text, result.replaced);
        continue;
      }
      if (*at_ == L'\n') {
        ++line_;
        line_start_ = at_ + 1;
      }
      text.add(*at_++);
    }
    ++at_;
    result.kind = token_kind::quoted;
    result.text = text.take();
  }

  void read_word(token& result) {
    text_buffer text;
    while (!ends_word(*at_)) {
      if (*at_ == L'%') {
        replace(text, result.replaced);
      } else {
        text.add(*at_++);
      }
    }
    result.kind = token_kind::word;
    result.text = text.take();
  }

  // At a '%': appends "%" for "%%", else the value of the replacement named up to the next '%'.
  void replace(text_buffer& text, bool& replaced) {
    const wchar_t* name = at_ + 1;
    const wchar_t* end = name;
    while (*end && *end != L'%' && *end != L'\n') ++end;
    if (*end != L'%') refuse(registrar_e_syntax, L"unterminated replacement");
    if (end == name) {
      text.add(L'%');
      at_ = end + 1;
      return;
    }
    for (std::size_t i = 0; i < count_; ++i) {
      const wchar_t* candidate = replacements_[i].name;
      if (!candidate || wide_length(candidate) != static_cast<std::size_t>(end - name)) continue;
      bool same = true;
      for (std::size_t k = 0; same && candidate[k]; ++k) same = fold_ascii(candidate[k]) == fold_ascii(name[k]);
      if (!same) continue;
      if (replacements_[i].value) text.add(replacements_[i].value);
      replaced = true;
      at_ = end + 1;
      return;
    }
    refuse(registrar_e_replacement, L"unknown replacement");
  }

  const wchar_t* at_;
  const wchar_t* line_start_;
  unsigned line_ = 1;
  const registrar_replacement* replacements_;
  std::size_t count_;
};

class parser {
 public:
  parser(const wchar_t* text, const registrar_replacement* replacements, std::size_t count)
      : tokens_(text, replacements, count) {}

  list<script_root> parse_script() {
    list<script_root> roots;
    advance();
    while (current_.kind != token_kind::end) {
      script_root root;
      root.root = root_of(current_);
      advance();
      expect(token_kind::open, L"expected \"{\"");
      advance();
      parse_block(root.keys, nullptr, 1);
      roots.push_back(std::move(root));
    }
    return roots;
  }

 private:
  void advance() { current_ = tokens_.next(); }

  [[noreturn]] void refuse(HRESULT code, const wchar_t* reason) const {
    throw refusal{code, current_.line, current_.column, reason};
  }
  void expect(token_kind kind, const wchar_t* reason) const {
    if (current_.kind != kind) refuse(registrar_e_syntax, reason);
  }

  bool is_keyword(const wchar_t* keyword) const noexcept {
    return current_.kind == token_kind::word && !current_.replaced && equals_nocase(current_.text.text(), keyword);
  }

  HKEY registrar_roots::*root_of(const token& name) const {
    if (name.kind != token_kind::word) refuse(registrar_e_syntax, L"expected a root key");
    struct root_name {
      const wchar_t* name;
      HKEY registrar_roots::*root;
    };
    static constexpr root_name names[] = {
        {L"HKCR", &registrar_roots::classes_root},       {L"HKEY_CLASSES_ROOT", &registrar_roots::classes_root},
        {L"HKCU", &registrar_roots::current_user},       {L"HKEY_CURRENT_USER", &registrar_roots::current_user},
        {L"HKLM", &registrar_roots::local_machine},      {L"HKEY_LOCAL_MACHINE", &registrar_roots::local_machine},
    };
    for (const root_name& entry : names) {
      if (equals_nocase(name.text.text(), entry.name)) return entry.root;
    }
    refuse(registrar_e_root, L"unknown root key");
  }

  KV_string take_name() {
    if (current_.kind != token_kind::word && current_.kind != token_kind::quoted) {
      refuse(registrar_e_syntax, L"expected a name");
    }
    if (current_.text.length() == 0) refuse(registrar_e_syntax, L"empty name");
    for (const wchar_t* c = current_.text.text(); *c; ++c) {
      if (*c == L'\\') refuse(registrar_e_syntax, L"name holds a backslash");
    }
    return std::move(current_.text);
  }

  // Every parse_ step starts on its first token and leaves current_ on the token after it.

  // Keys (and, inside a key, values) up to the closing brace, which it consumes.
  void parse_block(list<script_key>& keys, list<script_value>* values, int depth) {
    for (;;) {
      if (current_.kind == token_kind::close) {
        advance();
        return;
      }
      if (current_.kind == token_kind::end) refuse(registrar_e_syntax, L"missing \"}\"");
      if (is_keyword(L"val")) {
        if (!values) refuse(registrar_e_syntax, L"value outside a key");
        values->push_back(parse_value());
        continue;
      }
      if (depth > registrar_max_depth) refuse(registrar_e_depth, L"keys nest too deep");
      keys.push_back(parse_key(depth));
    }
  }

  script_key parse_key(int depth) {
    script_key key;
    if (is_keyword(L"NoRemove")) {
      key.flag = key_flag::no_remove;
      advance();
    } else if (is_keyword(L"ForceRemove")) {
      key.flag = key_flag::force_remove;
      advance();
    }
    if (is_keyword(L"NoRemove") || is_keyword(L"ForceRemove") || is_keyword(L"val")) {
      refuse(registrar_e_syntax, L"expected a name");
    }
    key.name = take_name();
    advance();
    if (current_.kind == token_kind::equals) {
      advance();
      parse_data(key.default_data);
      key.has_default = true;
      advance();
    }
    if (current_.kind == token_kind::open) {
      advance();
      parse_block(key.children, &key.values, depth + 1);
    }
    return key;
  }

  script_value parse_value() {
    script_value value;
    advance();
    value.name = take_name();
    advance();
    expect(token_kind::equals, L"expected \"=\"");
    advance();
    parse_data(value.data);
    advance();
    return value;
  }

  // Unlike the others, leaves current_ on the data's last token.
  void parse_data(script_data& data) {
    if (current_.kind != token_kind::word || current_.replaced) refuse(registrar_e_syntax, L"expected a value type");
    const bool text = equals_nocase(current_.text.text(), L"s");
    const bool number = equals_nocase(current_.text.text(), L"d");
    if (!text && !number) refuse(registrar_e_syntax, L"expected a value type");
    advance();
    if (text) {
      expect(token_kind::quoted, L"expected a quoted text");
      data.type = REG_SZ;
      data.text = std::move(current_.text);
      return;
    }
    if (current_.kind != token_kind::quoted && current_.kind != token_kind::word) {
      refuse(registrar_e_syntax, L"expected a number");
    }
    data.type = REG_DWORD;
    data.number = parse_number(current_.text.text());
  }

  DWORD parse_number(const wchar_t* text) const {
    unsigned base = 10;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
      base = 16;
      text += 2;
    }
    if (!*text) refuse(registrar_e_syntax, L"expected a number");
    std::uint64_t value = 0;
    for (; *text; ++text) {
      unsigned digit;
      if (*text >= L'0' && *text <= L'9') {
        digit = static_cast<unsigned>(*text - L'0');
      } else if (base == 16 && fold_ascii(*text) >= L'a' && fold_ascii(*text) <= L'f') {
        digit = static_cast<unsigned>(fold_ascii(*text) - L'a') + 10;
      } else {
        refuse(registrar_e_syntax, L"expected a number");
      }
      value = value * base + digit;
      if (value > 0xFFFFFFFFu) refuse(registrar_e_syntax, L"number out of range");
    }
    return static_cast<DWORD>(value);
  }

  tokenizer tokens_;
  token current_;
};

// ---- Writing -------------------------------------------------------------------------------

HRESULT from_win32(LONG error) noexcept { return HRESULT_FROM_WIN32(static_cast<unsigned long>(error)); }

bool is_missing(LONG error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool keeps_something(const script_key& key) noexcept {
  for (const script_key& child : key.children) {
    if (child.flag == key_flag::no_remove || keeps_something(child)) return true;
  }
  return false;
}

class applier {
 public:
  HRESULT register_key(HKEY parent, const script_key& key) {
    if (key.flag == key_flag::force_remove) {
      const LONG error = RegDeleteTreeW(parent, key.name.text());
      if (error != ERROR_SUCCESS && !is_missing(error)) return failed(key.name, error);
    }
    unique_hkey opened;
    LONG error = RegCreateKeyExW(parent, key.name.text(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                 nullptr, opened.put(), nullptr);
    if (error != ERROR_SUCCESS) return failed(key.name, error);
    if (key.has_default) {
      error = write(opened.get(), nullptr, key.default_data);
      if (error != ERROR_SUCCESS) return failed(key.name, error);
    }
    for (const script_value& value : key.values) {
      error = write(opened.get(), value.name.text(), value.data);
      if (error != ERROR_SUCCESS) return failed(value.name, error);
    }
    for (const script_key& child : key.children) {
      KV_RETURN_IF_FAILED(register_key(opened.get(), child));
    }
    return S_OK;
  }

  HRESULT unregister_key(HKEY parent, const script_key& key) {
    if (key.flag != key_flag::no_remove && !keeps_something(key)) {
      const LONG error = RegDeleteTreeW(parent, key.name.text());
      return error == ERROR_SUCCESS || is_missing(error) ? S_OK : failed(key.name, error);
    }
    unique_hkey opened;
    LONG error = RegOpenKeyExW(parent, key.name.text(), 0, KEY_READ | KEY_WRITE, opened.put());
    if (is_missing(error)) return S_OK;
    if (error != ERROR_SUCCESS) return failed(key.name, error);
    for (const script_key& child : key.children) {
      KV_RETURN_IF_FAILED(unregister_key(opened.get(), child));
    }
    if (key.has_default) {
      error = RegDeleteValueW(opened.get(), nullptr);
      if (error != ERROR_SUCCESS && !is_missing(error)) return failed(key.name, error);
    }
    for (const script_value& value : key.values) {
      error = RegDeleteValueW(opened.get(), value.name.text());
      if (error != ERROR_SUCCESS && !is_missing(error)) return failed(value.name, error);
    }
    if (key.flag == key_flag::no_remove) return S_OK;
    // A key on the way to a kept key goes only when nothing is left beneath it.
    DWORD subkeys = 0;
    error = RegQueryInfoKeyW(opened.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS) return failed(key.name, error);
    opened.reset();
    if (subkeys != 0) return S_OK;
    error = RegDeleteTreeW(parent, key.name.text());
    return error == ERROR_SUCCESS || is_missing(error) ? S_OK : failed(key.name, error);
  }

 private:
  static LONG write(HKEY key, const wchar_t* name, const script_data& data) noexcept {
    if (data.type == REG_DWORD) {
      return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data.number), sizeof data.number);
    }
    const DWORD bytes = static_cast<DWORD>((data.text.length() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.text.text()), bytes);
  }

  static HRESULT failed(const KV_string& name, LONG error) {
    trace_report(trace_name, L"Registry update failed at '%ls'!\n", name.text());
    trace_result_code(trace_name, static_cast<std::uint32_t>(from_win32(error)));
    return from_win32(error);
  }
};

}  // namespace

HRESULT run_registry_script(const wchar_t* script, const registrar_replacement* replacements,
                            std::size_t replacement_count, registrar_mode mode, const registrar_roots& roots,
                            registrar_error* error) noexcept {
  if (!script) return E_INVALIDARG;
  try {
    list<script_root> parsed;
    try {
      parsed = parser(script, replacements, replacements ? replacement_count : 0).parse_script();
    } catch (const refusal& refused) {
      if (error) *error = {refused.line, refused.column, refused.reason};
      trace_report(trace_name, L"Registry script refused at line %u, column %u: %ls\n", refused.line, refused.column,
                   refused.reason);
      return refused.code;
    }
    applier writer;
    for (const script_root& root : parsed) {
      const HKEY base = roots.*(root.root);
      if (!base) return E_INVALIDARG;
      for (const script_key& key : root.keys) {
        const HRESULT hr =
            mode == registrar_mode::register_keys ? writer.register_key(base, key) : writer.unregister_key(base, key);
        if (FAILED(hr)) return hr;
      }
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace kv
