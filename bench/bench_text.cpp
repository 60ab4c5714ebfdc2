// Throughput of the text code: XML parse and save, and the call text coding, in MB/s of UTF-16
// text, next to pugixml parsing the same UTF-16LE bytes. Prints figures; asserts nothing.
//   bench_text [--quick]
//   bench_text --once SHAPE UNITS [pugixml]
//                                   one load and save of one shape (or one pugixml parse), for
//                                   instruction counting (tools/xml-linearity.sh, callgrind)
//   bench_text --walk children|attributes COUNT
//                                   a walk by index over COUNT entries of one node, likewise
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/pugixml_reference.h"
#include "types/call_text.h"
#include "xml/kv_xml.h"
#include "xml/kvxml_string.h"

namespace {

using text = std::vector<wchar_t>;  // NUL-terminated UTF-16 text

void put(text& t, const wchar_t* s) {
  while (*s) t.push_back(*s++);
}

void put_number(text& t, std::size_t n) {
  wchar_t digits[24];
  int len = 0;
  do {
    digits[len++] = static_cast<wchar_t>(L'0' + n % 10);
    n /= 10;
  } while (n);
  while (len) t.push_back(digits[--len]);
}

void finish(text& t) { t.push_back(0); }

const wchar_t* const typical_parameters[][2] = {
    {L"drive", L"E:\\"},
    {L"name", L"Signing key for the build farm &amp; release tools"},
    {L"password", L"correct horse battery staple"},
    {L"timeout", L"3600"},
    {L"default_local_key", L"true"},
};

// One function element with five parameters, indented as clients send it.
void put_function(text& t) {
  put(t, L"<function name=\"keystore_create_key_pwd\">\r\n");
  for (const auto& p : typical_parameters) {
    put(t, L"  <parameter name=\"");
    put(t, p[0]);
    put(t, L"\">");
    put(t, p[1]);
    put(t, L"</parameter>\r\n");
  }
  put(t, L"</function>\r\n");
}

// A typical request: about 1 KiB of UTF-16.
text typical_request() {
  text t;
  put(t, L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n");
  put_function(t);
  finish(t);
  return t;
}

// Each shape fills about `units` code units.
text request_document(std::size_t units) {
  text t;
  put(t, L"<?xml version=\"1.0\"?>\r\n<calls>\r\n");
  while (t.size() < units) put_function(t);
  put(t, L"</calls>");
  finish(t);
  return t;
}

text long_text_element(std::size_t units) {
  text t;
  put(t, L"<a>");
  for (std::size_t i = 0; i < units; ++i) t.push_back(static_cast<wchar_t>(L'a' + i % 26));
  put(t, L"</a>");
  finish(t);
  return t;
}

text many_siblings(std::size_t units) {
  text t;
  put(t, L"<r>");
  while (t.size() < units) put(t, L"<p x=\"1\"/>");
  put(t, L"</r>");
  finish(t);
  return t;
}

text many_attributes(std::size_t units) {
  text t;
  put(t, L"<a");
  for (std::size_t i = 0; t.size() < units; ++i) {
    put(t, L" n");
    put_number(t, i);
    put(t, L"=\"v\"");
  }
  put(t, L"/>");
  finish(t);
  return t;
}

text ampersands_without_semicolon(std::size_t units) {
  text t;
  put(t, L"<a>");
  while (t.size() < units) put(t, L"& ");
  put(t, L"x</a>");
  finish(t);
  return t;
}

text deep_nesting(std::size_t units) {
  text t;
  while (t.size() < units) put(t, L"<a>");
  finish(t);
  return t;
}

struct shape {
  const char* name;
  text (*make)(std::size_t units);
  bool parses;  // false: the document is refused (the depth cap)
};

const shape shapes[] = {
    {"requests", request_document, true},
    {"long-text", long_text_element, true},
    {"siblings", many_siblings, true},
    {"attributes", many_attributes, true},
    {"ampersands", ampersands_without_semicolon, true},
    {"deep", deep_nesting, false},
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct xml_figures {
  double parse = -1, save = -1;  // best seconds
  bool loaded = false;
  std::uint64_t copied = 0;  // characters copied by buffer growth during one parse and save
};

xml_figures measure_xml(const text& input, int reps) {
  xml_figures f;
  for (int i = 0; i < reps; ++i) {
    KV_xml_doc* doc = make_xml_doc();
    KVXML_string::reset_copied_units();
    auto start = std::chrono::steady_clock::now();
    f.loaded = doc->load_from_string(input.data()) == 1;
    double parse = seconds_since(start);
    start = std::chrono::steady_clock::now();
    wchar_t* saved = doc->save_to_string();
    double save = seconds_since(start);
    f.copied = KVXML_string::copied_units();
    doc->free_text(saved);
    doc->release();
    if (f.parse < 0 || parse < f.parse) f.parse = parse;
    if (f.save < 0 || save < f.save) f.save = save;
  }
  return f;
}

std::vector<unsigned char> utf16le_with_mark(const text& t) {
  std::vector<unsigned char> bytes{0xFF, 0xFE};
  for (std::size_t i = 0; i + 1 < t.size(); ++i) {
    bytes.push_back(static_cast<unsigned char>(t[i] & 0xFF));
    bytes.push_back(static_cast<unsigned char>((t[i] >> 8) & 0xFF));
  }
  return bytes;
}

double mb_per_s(std::size_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

void xml_benchmarks(bool quick) {
  const std::size_t small_units = 512 * 1024;  // 1 MiB of UTF-16
  const std::size_t large_units = quick ? 2 * 1024 * 1024 : 8 * 1024 * 1024;  // 16 MiB (4 MiB quick)

  {
    text request = typical_request();
    const int reps = 20000;
    // Measured as pugixml's parse is: a fresh document each time, the best of many, its release
    // not timed.
    double parse = -1;
    for (int i = 0; i < 2000; ++i) {
      KV_xml_doc* fresh = make_xml_doc();
      auto start = std::chrono::steady_clock::now();
      fresh->load_from_string(request.data());
      double seconds = seconds_since(start);
      fresh->release();
      if (parse < 0 || seconds < parse) parse = seconds;
    }
    // What a request costs in all: loads into one document, each releasing (wiping) the tree
    // before, on average.
    KV_xml_doc* doc = make_xml_doc();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) doc->load_from_string(request.data());
    double reload = seconds_since(start) / reps;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) doc->free_text(doc->save_to_string());
    double save = seconds_since(start) / reps;
    doc->release();
    std::vector<unsigned char> bytes = utf16le_with_mark(request);
    double pugi = pugixml_best_parse_seconds(bytes.data(), bytes.size(), 2000);
    std::size_t size = (request.size() - 1) * 2;
    std::printf("typical request (%zu bytes): parse %.2f us (%.0f MB/s), pugixml parse %.2f us, ours/pugixml %.2f\n", size,
                parse * 1e6, mb_per_s(size, parse), pugi * 1e6, parse / pugi);
    std::printf("  on average: reload with the release of the tree before %.2f us, save %.2f us (%.0f MB/s)\n",
                reload * 1e6, save * 1e6, mb_per_s(size, save));
  }

  // What the machine's caches alone do to a pass over memory: the same growth measured for a
  // plain copy, which does the least work per byte any parse or save can do.
  {
    double copy_per_byte[2] = {};
    for (int k = 0; k < 2; ++k) {
      const std::size_t bytes = (k == 0 ? small_units : large_units) * sizeof(wchar_t);
      std::vector<unsigned char> from(bytes, 1), to(bytes, 0);
      double best = -1;
      for (int i = 0; i < 5; ++i) {
        auto start = std::chrono::steady_clock::now();
        std::memcpy(to.data(), from.data(), bytes);
        double seconds = seconds_since(start);
        from[i] = to[bytes - 1 - i];  // keeps the copies from being merged
        if (best < 0 || seconds < best) best = seconds;
      }
      copy_per_byte[k] = best / bytes;
    }
    std::printf("\nmemcpy on this machine: %.0f MB/s at 1 MiB, %.0f MB/s at %zu MiB, growth of time per byte %.2f\n",
                1e-6 / copy_per_byte[0], 1e-6 / copy_per_byte[1], large_units * 2 >> 20, copy_per_byte[1] / copy_per_byte[0]);
  }

  std::printf("\n%-16s %9s %11s %11s %11s %9s %12s\n", "shape", "MiB", "parse MB/s", "save MB/s", "pugi MB/s",
              "ours/pugi", "copied/unit");
  for (const shape& s : shapes) {
    double per_byte[2][2] = {};
    double pugi_per_byte[2] = {};
    const std::size_t sizes[2] = {small_units, large_units};
    for (int k = 0; k < 2; ++k) {
      text input = s.make(sizes[k]);
      std::size_t bytes = (input.size() - 1) * 2;
      xml_figures f = measure_xml(input, k == 0 ? 5 : 2);
      std::vector<unsigned char> le = utf16le_with_mark(input);
      double pugi = s.parses ? pugixml_best_parse_seconds(le.data(), le.size(), k == 0 ? 5 : 2) : -1;
      if (s.parses) {
        std::printf("%-16s %9.1f %11.0f %11.0f %11.0f %9.2f %12.2f%s\n", s.name, bytes / 1048576.0,
                    mb_per_s(bytes, f.parse), mb_per_s(bytes, f.save), mb_per_s(le.size(), pugi), f.parse / pugi,
                    static_cast<double>(f.copied) / (input.size() - 1), f.loaded ? "" : "  NOT LOADED");
      } else {
        // Refused at the depth cap: only the time to refuse says anything.
        std::printf("%-16s %9.1f %8.1f us refused%s\n", s.name, bytes / 1048576.0, f.parse * 1e6,
                    f.loaded ? "  UNEXPECTEDLY LOADED" : "");
      }
      per_byte[k][0] = f.parse / bytes;
      per_byte[k][1] = f.save / bytes;
      pugi_per_byte[k] = pugi / bytes;
    }
    if (s.parses) {
      std::printf("%-16s growth of time per byte, large over 1 MiB: parse %.2f (pugixml %.2f), save %.2f (goal <= 2)\n",
                  "", per_byte[1][0] / per_byte[0][0], pugi_per_byte[1] / pugi_per_byte[0], per_byte[1][1] / per_byte[0][1]);
    }
  }
}

void call_text_benchmarks(bool quick) {
  const std::size_t n = quick ? 1u << 20 : 8u << 20;  // plain code units
  std::vector<wchar_t> plain(n);
  std::uint32_t state = 12345;
  for (auto& c : plain) {
    state = state * 1103515245u + 12345u;
    c = static_cast<wchar_t>((state >> 8) | 1);
  }
  std::size_t m = kv::call_text_coded_length(n);
  std::vector<wchar_t> coded(m), back(n);
  double enc = -1, dec = -1;
  for (int i = 0; i < 5; ++i) {
    auto start = std::chrono::steady_clock::now();
    kv::encode_call_text_units(plain.data(), n, coded.data());
    double e = seconds_since(start);
    start = std::chrono::steady_clock::now();
    kv::decode_call_text_units(coded.data(), m, back.data());
    double d = seconds_since(start);
    if (enc < 0 || e < enc) enc = e;
    if (dec < 0 || d < dec) dec = d;
  }
  bool same = std::memcmp(plain.data(), back.data(), n * sizeof(wchar_t)) == 0;
  std::printf("\ncall text coding, %zu MiB of UTF-16: encode %.2f GB/s, decode %.2f GB/s (goal >= 1 GB/s each)%s\n",
              n * 2 >> 20, n * 2 / enc / 1e9, n * 2 / dec / 1e9, same ? "" : "  ROUND TRIP MISMATCH");

  text request = typical_request();
  std::size_t rn = request.size() - 1;
  std::size_t rm = kv::call_text_coded_length(rn);
  std::vector<wchar_t> rc(rm), rb(rn);
  const int reps = 200000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) kv::encode_call_text_units(request.data(), rn, rc.data());
  double e = seconds_since(start) / reps;
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) kv::decode_call_text_units(rc.data(), rm, rb.data());
  double d = seconds_since(start) / reps;
  std::printf("call text coding, typical request (%zu bytes): encode %.0f ns (%.2f GB/s), decode %.0f ns (%.2f GB/s)\n",
              rn * 2, e * 1e9, rn * 2 / e / 1e9, d * 1e9, rn * 2 / d / 1e9);
}

}  // namespace

int once(const char* shape_name, std::size_t units, bool pugixml) {
  for (const shape& s : shapes) {
    if (std::strcmp(s.name, shape_name) != 0) continue;
    text input = s.make(units);
    if (pugixml) {
      std::vector<unsigned char> bytes = utf16le_with_mark(input);
      std::printf("%s: %zu units, pugixml %s\n", s.name, input.size() - 1,
                  pugixml_best_parse_seconds(bytes.data(), bytes.size(), 1) < 0 ? "refused" : "parsed");
      return 0;
    }
    KV_xml_doc* doc = make_xml_doc();
    int loaded = doc->load_from_string(input.data());
    doc->free_text(doc->save_to_string());
    doc->release();
    std::printf("%s: %zu units, loaded %d\n", s.name, input.size() - 1, loaded);
    return 0;
  }
  std::fprintf(stderr, "bench_text: no shape named '%s'\n", shape_name);
  return 2;
}

// Asks a node with `count` children (or attributes) for index 0, 1, 2, ... until null, with and
// without a name filter; answers how many entries were found. Kept out of line so that
// callgrind can count its instructions alone (tools/xml-linearity.sh).
__attribute__((noinline)) std::size_t walk_by_index(KV_xml_node* node, bool attributes) {
  std::size_t found = 0;
  if (attributes) {
    for (int i = 0; node->get_attribute(i, nullptr); ++i) ++found;
    return found;
  }
  for (const wchar_t* name : {static_cast<const wchar_t*>(nullptr), L"e"}) {
    for (int i = 0; node->get_child(i, name); ++i) ++found;
  }
  return found;
}

int walk(const char* what, std::size_t count) {
  const bool attributes = std::strcmp(what, "attributes") == 0;
  if (!attributes && std::strcmp(what, "children") != 0) {
    std::fprintf(stderr, "bench_text: --walk children|attributes COUNT\n");
    return 2;
  }
  KV_xml_doc* doc = make_xml_doc();
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"n");
  text name;
  for (std::size_t i = 0; i < count; ++i) {
    if (attributes) {
      name.clear();
      put(name, L"a");
      put_number(name, i);
      finish(name);
      node->set_attribute(name.data(), L"v");
    } else {
      node->add_child(i % 2 ? L"e" : L"E");
    }
  }
  std::size_t found = walk_by_index(node, attributes);
  doc->release();
  std::printf("%s: %zu entries, %zu answers\n", what, count, found);
  return 0;
}

int main(int argc, char** argv) {
  if ((argc == 4 || (argc == 5 && std::strcmp(argv[4], "pugixml") == 0)) && std::strcmp(argv[1], "--once") == 0) {
    return once(argv[2], std::strtoull(argv[3], nullptr, 10), argc == 5);
  }
  if (argc == 4 && std::strcmp(argv[1], "--walk") == 0) return walk(argv[2], std::strtoull(argv[3], nullptr, 10));
  bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  // Keep freed memory in the process: otherwise glibc returns and refetches the large blocks
  // between repetitions, and page faults swamp the figures of both parsers alike.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  std::printf("bench_text: XML parse/save and call text coding (host build, optimised)%s\n\n",
              quick ? ", quick run" : "");
  xml_benchmarks(quick);
  call_text_benchmarks(quick);
  return 0;
}
