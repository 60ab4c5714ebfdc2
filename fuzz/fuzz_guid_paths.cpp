// GUID parsing, multi-string splitting, path ordering and joining on arbitrary UTF-16 input.
// The input is read as little-endian code units and treated as a multi-string: every entry is
// also parsed as a GUID, and the entries are ordered and joined pairwise.
//
// Checks: a GUID's regenerated text parses back to the same GUID; the list holds exactly the
// texts before the first empty one; no path precedes itself, no two paths precede each other
// and the order is transitive; a join puts exactly one backslash at the seam.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "types/kv_guid.h"
#include "types/kv_path.h"
#include "types/kv_paths.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool same_units(const wchar_t* a, const std::vector<wchar_t>& b, std::size_t start, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (a[i] != b[start + i]) return false;
  return a[length] == 0;
}

void check_guid(const wchar_t* text) {
  const KV_guid guid(text);
  check(guid.text[0] == L'{' && guid.text[37] == L'}' && guid.text[38] == 0);
  for (int i = 0; i < KV_guid::text_units; ++i) check(guid.text[i] == static_cast<unsigned char>(guid.text_narrow[i]));
  const KV_guid again(guid.text);
  check(std::memcmp(static_cast<const KV_guid_base*>(&guid), static_cast<const KV_guid_base*>(&again),
                    sizeof(KV_guid_base)) == 0);
}

void check_join(const KV_path& base, const KV_path& component) {
  KV_path joined(base);
  joined.join(component.text());
  const std::size_t a = base.length();
  const std::size_t c = component.length();
  if (a == 0) {
    check(joined.equals(component.text()));
    return;
  }
  const bool base_slash = base.text()[a - 1] == L'\\';
  const bool component_slash = c > 0 && component.text()[0] == L'\\';
  const std::size_t keep = base_slash && component_slash ? a - 1 : a;
  const std::size_t seam = !base_slash && !component_slash ? 1 : 0;
  check(joined.length() == keep + seam + c);
  check(std::memcmp(joined.text(), base.text(), keep * sizeof(wchar_t)) == 0);
  if (seam) check(joined.text()[keep] == L'\\');
  check(std::memcmp(joined.text() + keep + seam, component.text(), c * sizeof(wchar_t)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<wchar_t> units(size / 2 + 2, 0);
  for (std::size_t i = 0; i + 1 < size; i += 2)
    units[i / 2] = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));

  const KV_paths paths(units.data());

  // The list against a plain split of the same units.
  auto entry = paths.begin();
  std::size_t start = 0;
  while (units[start] != 0) {
    std::size_t length = 0;
    while (units[start + length] != 0) ++length;
    check(entry != paths.end());
    check(same_units(entry->text(), units, start, length));
    ++entry;
    start += length + 1;
  }
  check(entry == paths.end());

  std::vector<const KV_path*> sample;
  for (const KV_path& path : paths) {
    check_guid(path.text());
    if (sample.size() < 8) sample.push_back(&path);
  }
  check_guid(nullptr);

  for (const KV_path* a : sample) {
    check(!a->precedes(*a));
    for (const KV_path* b : sample) {
      check(!(a->precedes(*b) && b->precedes(*a)));
      if (a != b && a->differs(*b)) check(a->precedes(*b) || b->precedes(*a));
      for (const KV_path* c : sample)
        if (a->precedes(*b) && b->precedes(*c)) check(a->precedes(*c));
    }
  }
  for (std::size_t i = 0; i + 1 < sample.size(); ++i) check_join(*sample[i], *sample[i + 1]);
  return 0;
}
