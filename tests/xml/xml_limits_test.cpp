// Depth cap, deep trees on the real 1 MiB main-thread stack, linear costs counted in copied
// characters, and allocation failure at every step of a load and a save.
#include <gtest/gtest.h>
#include <malloc.h>
#include <windows.h>

#include <cstdint>
#include <new>
#include <string>

#include "types/kv_alloc.h"
#include "types/object_heap.h"
#include "win/owners.h"
#include "xml/kvxml_string.h"
#include "xml_test_support.h"

namespace {

using xml_test::dump;
using xml_test::load;
using xml_test::repeat;
using xml_test::saved;

std::wstring nested(std::size_t depth, const std::wstring& prefix = L"") {
  return prefix + repeat(L"<a>", depth) + L"x" + repeat(L"</a>", depth);
}

std::size_t depth_below(KV_xml_node* node) {
  std::size_t depth = 0;
  while ((node = node->get_child(0, nullptr)) != nullptr) ++depth;
  return depth;
}

TEST(xml_depth, tree_of_256_levels_with_its_root_accepted_257_refused) {
  auto ok = load(nested(255));
  EXPECT_EQ(ok.result, 1);
  EXPECT_EQ(depth_below(ok.doc->get_root()), 255u);

  auto refused = load(nested(256, L"<done k=\"1\"/>"));
  EXPECT_EQ(refused.result, 0);
  EXPECT_EQ(dump(refused.doc.get()), L"?xml[version=1.0](done[k=1])");
}

TEST(xml_depth, declaration_counts_as_a_level) {
  const std::wstring declaration = L"<?xml version=\"1.0\"?>";
  auto ok = load(nested(255, declaration));
  EXPECT_EQ(ok.result, 1);
  EXPECT_EQ(depth_below(ok.doc->get_root()), 255u);
  auto refused = load(nested(256, declaration));
  EXPECT_EQ(refused.result, 0);
  EXPECT_EQ(dump(refused.doc.get()), L"?xml[version=1.0]");
}

TEST(xml_depth, chain_of_declarations_nests) {
  auto ok = load(repeat(L"<?xml v=\"1\"?>", 256));
  EXPECT_EQ(ok.result, 1);
  EXPECT_EQ(depth_below(ok.doc->get_root()), 255u);
  EXPECT_EQ(load(repeat(L"<?xml v=\"1\"?>", 257)).result, 0);
}

TEST(xml_depth, self_closed_element_beyond_cap_refused) {
  EXPECT_EQ(load(repeat(L"<a>", 255) + L"<b/>" + repeat(L"</a>", 255)).result, 0);
  EXPECT_EQ(load(repeat(L"<a>", 254) + L"<b/>" + repeat(L"</a>", 254)).result, 1);
}

TEST(xml_depth, deepest_loadable_document_loads_again_after_saving) {
  for (const std::wstring& text : {nested(255), nested(255, L"<?xml version=\"1.0\"?>")}) {
    auto first = load(text);
    ASSERT_EQ(first.result, 1);
    auto again = load(saved(first.doc.get()));
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(depth_below(again.doc->get_root()), 255u);
  }
}

TEST(xml_depth, million_levels_fail_quickly_on_main_thread) {
  auto refused = load(L"<keep/>" + repeat(L"<a>", 1000000));
  EXPECT_EQ(refused.result, 0);
  EXPECT_EQ(dump(refused.doc.get()), L"?xml[version=1.0](keep)");
}

// A chain built through the interface far deeper than any text may nest.
struct deep_chain {
  kv::xml_document doc;
  KV_xml_node* leaf = nullptr;
  std::wstring path;  // from the root to the leaf
  explicit deep_chain(std::size_t depth) {
    doc->create();
    KV_xml_node* node = doc->get_root();
    path.reserve(depth * 2 + 4);
    for (std::size_t i = 1; i < depth; ++i) {
      node = node->add_child(L"a");
      path += L"a/";
    }
    leaf = node->add_child(L"leaf");
    leaf->set_text(L"bottom");
    path += L"leaf";
  }
};

TEST(xml_depth, deep_tree_walks_use_no_stack_per_level) {
  deep_chain chain(200000);
  KV_xml_node* root = chain.doc->get_root();
  EXPECT_EQ(root->find_descendant(L"leaf"), chain.leaf);
  EXPECT_EQ(root->find_descendant(L"none"), nullptr);
  EXPECT_EQ(xml_test::take_text(root->get_inner_text()), L"bottom");
  EXPECT_EQ(root->select_path(chain.path.c_str()), chain.leaf);
  EXPECT_EQ(root->search_path(chain.path.c_str()), chain.leaf);

  kv::xml_document copy;
  EXPECT_EQ(copy->copy_document(chain.doc.get(), copy.get()), 1);
  KV_xml_node* copied_leaf = copy->get_root()->find_descendant(L"leaf");
  ASSERT_NE(copied_leaf, nullptr);
  EXPECT_STREQ(copied_leaf->get_text(), L"bottom");
  EXPECT_TRUE(root->same_tree(copy->get_root()));
  copied_leaf->set_attribute(L"k", L"v");
  EXPECT_FALSE(root->same_tree(copy->get_root()));

  KV_xml_node* top = root->get_child(0, nullptr);
  root->detach_child(top);
  top->release();
  EXPECT_EQ(root->has_children(), 0);
}

// The written size grows with the square of the depth, so the writer is tried on a depth that a
// call per level could not survive on a 64 KiB stack.
struct save_job {
  KV_xml_doc* doc;
  std::wstring text;
};

DWORD WINAPI save_on_small_stack(void* argument) {
  auto* job = static_cast<save_job*>(argument);
  job->text = saved(job->doc);
  return 0;
}

TEST(xml_depth, deep_tree_saves_on_a_small_stack) {
  const std::size_t depth = 3000;
  deep_chain chain(depth);
  save_job job{chain.doc.get(), {}};
  const kv::unique_handle thread(
      CreateThread(nullptr, 64 * 1024, save_on_small_stack, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  WaitForSingleObject(thread.get(), INFINITE);

  std::wstring expected = L"<?xml version=\"1.0\"?>\r\n";
  for (std::size_t d = 1; d < depth; ++d) expected += std::wstring(2 * d, L' ') + L"<a>\r\n";
  expected += std::wstring(2 * depth, L' ') + L"<leaf>bottom</leaf>\r\n";
  for (std::size_t d = depth - 1; d >= 1; --d) expected += std::wstring(2 * d, L' ') + L"</a>\r\n";
  EXPECT_TRUE(job.text == expected) << "saved " << job.text.size() << " characters, expected " << expected.size();
}

// Linear costs: building a result of n characters must copy O(n) characters in all.
std::uint64_t copied_by_load(const std::wstring& text, xml_test::loaded& out) {
  KVXML_string::reset_copied_units();
  out = load(text);
  return KVXML_string::copied_units();
}

std::uint64_t copied_by_save(KV_xml_doc* doc, std::wstring& text) {
  KVXML_string::reset_copied_units();
  const kv::xml_text written(doc, doc->save_to_string());
  std::uint64_t copied = KVXML_string::copied_units();
  text = written.get();
  return copied;
}

struct shape_row {
  const char* name;
  std::wstring text;
};

TEST(xml_linear, large_inputs_copy_linearly) {
  const shape_row rows[] = {
      {"text_of_16_mib", L"<a>" + std::wstring(16u << 20, L'x') + L"</a>"},
      {"siblings_100000", L"<r>" + repeat(L"<a/>", 100000) + L"</r>"},
      {"attributes_100000", [] {
         std::wstring text = L"<a";
         for (int i = 0; i < 100000; ++i) text += L" n" + std::to_wstring(i) + L"=\"v\"";
         return text + L"/>";
       }()},
      {"ampersands_100000", L"<a v=\"" + std::wstring(100000, L'&') + L"\">" + std::wstring(100000, L'&') + L"</a>"},
  };
  for (const shape_row& row : rows) {
    SCOPED_TRACE(row.name);
    xml_test::loaded loaded{kv::xml_document(), 0};
    std::uint64_t load_copies = copied_by_load(row.text, loaded);
    ASSERT_EQ(loaded.result, 1);
    EXPECT_LE(load_copies, 4 * row.text.size());
    std::wstring text;
    std::uint64_t save_copies = copied_by_save(loaded.doc.get(), text);
    EXPECT_LE(save_copies, 4 * text.size());
    EXPECT_GT(text.size(), row.text.size() / 2);
  }
}

TEST(xml_linear, shapes_keep_their_content) {
  auto attributes = load([] {
    std::wstring text = L"<a";
    for (int i = 0; i < 100000; ++i) text += L" n" + std::to_wstring(i) + L"=\"" + std::to_wstring(i) + L"\"";
    return text + L" N5=\"again\"/>";
  }());
  ASSERT_EQ(attributes.result, 1);
  KV_xml_node* a = attributes.doc->get_root()->get_child(0, nullptr);
  EXPECT_STREQ(a->get_attribute_value(L"n99999"), L"99999");
  EXPECT_STREQ(a->get_attribute_value(L"n5"), L"again");
  EXPECT_STREQ(a->get_attribute(99999, nullptr)->get_name(), L"n99999");
  EXPECT_EQ(a->get_attribute(100000, nullptr), nullptr);

  auto ampersands = load(L"<a>" + std::wstring(100000, L'&') + L"</a>");
  EXPECT_EQ(std::wstring(ampersands.doc->get_root()->get_child(0, nullptr)->get_text()), std::wstring(100000, L'&'));
}

TEST(xml_linear, deep_tree_save_copies_linearly) {
  deep_chain chain(2000);
  std::wstring text;
  std::uint64_t copies = copied_by_save(chain.doc.get(), text);
  EXPECT_GT(text.size(), 2000u * 2000u);
  EXPECT_LE(copies, 4 * text.size());
}

std::size_t bytes_in_use(HANDLE heap) {
  PROCESS_HEAP_ENTRY entry{};
  std::size_t total = 0;
  HeapLock(heap);
  while (HeapWalk(heap, &entry)) {
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
  }
  HeapUnlock(heap);
  return total;
}

// Bytes in use on the two heaps the library draws from: the C runtime's (kv::mem_alloc: grown
// texts) and the objects' (kv::object_alloc: documents, nodes, attributes, saved texts).
std::size_t heap_in_use() {
  const HANDLE runtime = reinterpret_cast<HANDLE>(_get_heap_handle());
  const HANDLE objects = static_cast<HANDLE>(kv::object_heap::windows_heap());
  return bytes_in_use(runtime) + (objects == runtime ? 0 : bytes_in_use(objects));
}

struct probe_guard {
  ~probe_guard() { kv::alloc_probe::disarm(); }
};

// A request with enough attributes on one element to build the name index, and on another
// enough, some repeated, for the repeated names to be merged by hash.
const wchar_t* const failure_sample =
    L"\xFEFF<?xml version=\"1.0\"?><function name=\"keystore_create_key\">"
    L"<parameter name=\"label\" a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\" g=\"7\" h=\"8\" i=\"&amp;9\">"
    L"key &lt;one&gt;</parameter><parameter name=\"flags\"><x/><y/></parameter>"
    L"<many p0=\"0\" p1=\"1\" p2=\"2\" P1=\"3\" p4=\"4\" p5=\"5\" p6=\"6\" P2=\"7\" p8=\"8\""
    L" p9=\"9\" p10=\"10\" P3=\"11\" p12=\"12\" p13=\"13\" p14=\"14\" P5=\"15\" p16=\"16\" p17=\"17\""
    L" p18=\"18\" P6=\"19\" p20=\"20\" p21=\"21\" p22=\"22\" P7=\"23\" p24=\"24\" p25=\"25\" p26=\"26\""
    L" P9=\"27\" p28=\"28\" p29=\"29\" p30=\"30\" P10=\"31\" p32=\"32\" p33=\"33\" p34=\"34\" P11=\"35\"/>"
    L"</function>";

TEST(xml_alloc_failure, load_and_save_fail_cleanly_at_every_allocation) {
  probe_guard guard;
  std::wstring expected;
  {
    kv::xml_document doc;
    ASSERT_EQ(doc->load_from_string(failure_sample), 1);
    expected = saved(doc.get());
  }
  // The first exception thrown through the program sets up the unwinder's tables for good.
  kv::alloc_probe::fail_after(0);
  EXPECT_THROW(kv::xml_document(), std::bad_alloc);
  kv::alloc_probe::disarm();
  int failures = 0;
  for (std::int64_t n = 0;; ++n) {
    std::size_t before = heap_in_use();
    bool completed = false;
    bool loaded = false;
    std::wstring text;
    kv::alloc_probe::fail_after(n);
    try {
      kv::xml_document doc;
      loaded = doc->load_from_string(failure_sample) == 1;
      const kv::xml_text written(doc.get(), doc->save_to_string());
      text = written.get();
      wchar_t* inner = doc->get_root()->get_inner_text();
      std::free(inner);
      kv::xml_document copy;
      copy->copy_document(doc.get(), copy.get());
      completed = true;
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    kv::alloc_probe::disarm();
    text.clear();
    text.shrink_to_fit();
    std::size_t after = heap_in_use();
    EXPECT_EQ(after, before) << "leak with the allocation after " << n << " failing";
    if (completed) {
      EXPECT_TRUE(loaded);
      break;
    }
    ASSERT_LT(n, 10000) << "never completed";
  }
  EXPECT_GT(failures, 10);
  auto again = load(failure_sample);
  EXPECT_EQ(saved(again.doc.get()), expected);
}

TEST(xml_alloc_failure, failed_load_keeps_a_usable_document) {
  probe_guard guard;
  kv::xml_document doc;
  for (std::int64_t n = 0; n < 200; ++n) {
    kv::alloc_probe::fail_after(n);
    try {
      doc->load_from_string(failure_sample);
    } catch (const std::bad_alloc&) {
    }
    kv::alloc_probe::disarm();
    std::wstring text = saved(doc.get());
    if (!doc->get_root()) {
      EXPECT_EQ(text, L"") << n;
      continue;
    }
    EXPECT_EQ(text.find(L"<?xml"), 0u) << n;
    doc->get_root()->add_child(L"usable")->set_text(L"yes");
    EXPECT_NE(saved(doc.get()).find(L"<usable>yes</usable>"), std::wstring::npos) << n;
  }
}

}  // namespace
