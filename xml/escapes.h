#pragma once
// The five characters that written element texts and attribute values carry as references, and
// their references: the one table for the writer and for any other code that writes this XML.
// Header only, so that a program which does not link the XML library can use it as well.
#include <cstdint>

namespace kvxml {

// How one character is written: as its reference, or (null reference, length 1) as itself.
struct escape {
  const wchar_t* reference;
  std::uint8_t length;  // the units written for the character
};

namespace escape_detail {

// Every special character lies below '@', so one comparison passes most text.
constexpr std::uint32_t table_size = L'@';

struct table {
  escape entries[table_size];
};

constexpr table make_table() noexcept {
  table made{};
  for (escape& entry : made.entries) entry = {nullptr, 1};
  made.entries[L'"'] = {L"&quot;", 6};
  made.entries[L'&'] = {L"&amp;", 5};
  made.entries[L'\''] = {L"&#39;", 5};
  made.entries[L'<'] = {L"&lt;", 4};
  made.entries[L'>'] = {L"&gt;", 4};
  return made;
}

inline constexpr table escapes = make_table();

// Each length counts its reference's units (the writer copies by these lengths).
constexpr bool lengths_match() noexcept {
  for (const escape& entry : escapes.entries) {
    if (!entry.reference) continue;
    std::uint8_t units = 0;
    while (entry.reference[units]) ++units;
    if (units != entry.length) return false;
  }
  return true;
}
static_assert(lengths_match());

}  // namespace escape_detail

// How `c` is written in an element text or an attribute value.
constexpr escape escape_of(wchar_t c) noexcept {
  const auto unit = static_cast<std::uint32_t>(c);
  return unit < escape_detail::table_size ? escape_detail::escapes.entries[unit] : escape{nullptr, 1};
}

// The reference written for " & ' < > (&quot; &amp; &#39; &lt; &gt;), or null for a character
// that is written as it is.
constexpr const wchar_t* escaped(wchar_t c) noexcept { return escape_of(c).reference; }

}  // namespace kvxml
