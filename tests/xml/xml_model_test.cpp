// The document model: documents, nodes, attributes, lookups, copies and comparisons.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/types/freed_blocks.h"
#include "xml/kvxml_string.h"
#include "xml_test_support.h"

namespace {

using xml_test::dump;
using xml_test::load;
using xml_test::take_text;

KV_xml_node* root_of(const xml_test::loaded& loaded) { return loaded.doc->get_root(); }

TEST(xml_doc, new_document_has_no_root_and_saves_mark_alone) {
  kv::xml_document doc;
  EXPECT_EQ(doc->get_root(), nullptr);
  wchar_t* text = doc->save_to_string();
  EXPECT_STREQ(text, L"\xFEFF");
  doc->free_text(text);
  doc->free_text(nullptr);
}

// A moved owner hands over what it holds: nothing is freed until the last owner lets go, and
// then once.
TEST(xml_doc, owners_hand_over_on_move_and_free_once) {
  kv::xml_document first;
  first->create();
  KV_xml_doc* const doc = first.get();
  kv::xml_text text(doc, doc->save_to_string());
  const wchar_t* const saved_text = text.get();
  freed_blocks freed;
  kv::xml_document second(std::move(first));
  kv::xml_text moved_text(std::move(text));
  first = std::move(second);
  EXPECT_EQ(freed.count(), 0u);
  EXPECT_FALSE(second);
  EXPECT_FALSE(text);
  EXPECT_EQ(first.get(), doc);
  EXPECT_EQ(moved_text.get(), saved_text);
  moved_text = kv::xml_text(doc, nullptr);
  EXPECT_EQ(freed.count(), 1u);
  EXPECT_NE(freed.block_at(saved_text), nullptr);
  first = kv::xml_document();
  EXPECT_GT(freed.count(), 1u);  // the first document and its root
}

TEST(xml_doc, create_makes_declaration_root_and_clear_removes_it) {
  kv::xml_document doc;
  EXPECT_EQ(doc->create(), 1);
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0]");
  doc->get_root()->add_child(L"a");
  EXPECT_EQ(doc->create(), 1);
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0]");
  doc->clear();
  EXPECT_EQ(doc->get_root(), nullptr);
  doc->clear();
}

TEST(xml_doc, copy_document_takes_top_level_elements_under_fresh_declaration) {
  auto source = load(L"<?xml version=\"2\" encoding=\"UTF-8\"?><a x=\"1\">t</a><b><c/></b>");
  ASSERT_EQ(source.result, 1);
  auto destination = load(L"<old/>");
  kv::xml_document receiver;
  EXPECT_EQ(receiver->copy_document(source.doc.get(), destination.doc.get()), 1);
  EXPECT_EQ(dump(destination.doc.get()), L"?xml[version=1.0](a[x=1]\"t\",b(c))");
  EXPECT_EQ(receiver->get_root(), nullptr);

  kv::xml_document empty;
  EXPECT_EQ(receiver->copy_document(empty.get(), destination.doc.get()), 1);
  EXPECT_EQ(dump(destination.doc.get()), L"?xml[version=1.0]");

  // Onto itself: nothing changes, not even the declaration.
  EXPECT_EQ(source.doc->copy_document(source.doc.get(), source.doc.get()), 1);
  EXPECT_EQ(dump(source.doc.get()), L"?xml[version=2,encoding=UTF-8](a[x=1]\"t\",b(c))");
}

TEST(xml_node, missing_attribute_reads_as_empty_text) {
  auto loaded = load(L"<a x=\"1\"/>");
  KV_xml_node* a = root_of(loaded)->get_child(0, L"a");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(a->get_attribute_value(L"y"), nullptr);
  EXPECT_STREQ(a->get_attribute_value(L"y"), L"");
  EXPECT_STREQ(a->get_attribute_value(nullptr), L"");
  EXPECT_STREQ(a->get_attribute_value(L"X"), L"1");
}

TEST(xml_node, names_compare_without_letter_case) {
  auto loaded = load(L"<function Name=\"f\"><Parameter/><parameter/></function>");
  KV_xml_node* function = root_of(loaded)->get_child(0, L"FUNCTION");
  ASSERT_NE(function, nullptr);
  EXPECT_STREQ(function->get_name(), L"function");
  EXPECT_STREQ(function->get_attribute_value(L"NAME"), L"f");
  EXPECT_NE(function->get_child(1, L"PARAMETER"), nullptr);
  EXPECT_EQ(function->get_child(2, L"parameter"), nullptr);
  // Only ASCII letters fold.
  auto other = load(L"<\x00C4/>");
  EXPECT_EQ(root_of(other)->get_child(0, L"\x00E4"), nullptr);
  EXPECT_NE(root_of(other)->get_child(0, L"\x00C4"), nullptr);
}

TEST(xml_node, get_child_and_get_attribute_count_among_matching_names) {
  auto loaded = load(L"<r><a/><b/><a x=\"1\" y=\"2\" z=\"3\"/></r>");
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  EXPECT_STREQ(r->get_child(1, nullptr)->get_name(), L"b");
  EXPECT_STREQ(r->get_child(1, L"a")->get_attribute_value(L"x"), L"1");
  EXPECT_EQ(r->get_child(3, nullptr), nullptr);
  EXPECT_EQ(r->get_child(-1, nullptr), nullptr);
  KV_xml_node* a = r->get_child(1, L"A");
  EXPECT_STREQ(a->get_attribute(2, nullptr)->get_name(), L"z");
  EXPECT_STREQ(a->get_attribute(0, L"Y")->get_value(), L"2");
  EXPECT_EQ(a->get_attribute(1, L"y"), nullptr);
  EXPECT_EQ(a->get_attribute(3, nullptr), nullptr);
  EXPECT_EQ(a->get_attribute(-1, nullptr), nullptr);
}

// A walk by index continues from its last answer; other filters, other orders and changes to
// the lists in between must still give the positional answer. Children are told apart by "i".
TEST(xml_node, walk_by_index_answers_like_a_walk_from_the_head) {
  auto loaded = load(L"<r><a i=\"1\"/><b i=\"2\"/><A i=\"3\"/><b i=\"4\"/><a i=\"5\"/><o/></r>");
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  KV_xml_node* other = r->get_child(0, L"o");
  r->detach_child(other);
  auto ids = [&](std::initializer_list<std::pair<const wchar_t*, int>> asks) {
    std::wstring out;
    for (const auto& [name, index] : asks) {
      KV_xml_node* child = r->get_child(index, name);
      out += child ? child->get_attribute_value(L"i") : L"-";
    }
    return out;
  };
  EXPECT_EQ(ids({{nullptr, 0}, {nullptr, 1}, {nullptr, 2}, {nullptr, 3}, {nullptr, 4}, {nullptr, 5}}), L"12345-");
  EXPECT_EQ(ids({{L"a", 2}, {L"a", 1}, {L"a", 0}, {L"A", 1}, {L"a", 2}, {L"a", 3}}), L"53135-");
  EXPECT_EQ(ids({{L"b", 1}, {nullptr, 2}, {L"B", 1}, {L"a", 1}, {nullptr, 3}, {L"b", 1}}), L"434344");
  r->detach_child(r->get_child(2, nullptr));
  EXPECT_EQ(ids({{nullptr, 2}, {nullptr, 3}, {L"a", 1}, {L"a", 2}}), L"455-");
  KV_xml_node* last = r->get_child(3, nullptr);
  other->append_child(r->get_child(2, nullptr));  // r's list now ends at the moved child
  EXPECT_EQ(ids({{nullptr, 3}, {nullptr, 2}, {nullptr, 3}}), L"-4-");
  other->detach_child(r->get_child(2, nullptr));
  last->release();
  other->release();

  KV_xml_node* a = r->get_child(0, nullptr);
  a->set_attribute(L"x", L"1");
  a->set_attribute(L"y", L"2");
  EXPECT_STREQ(a->get_attribute(2, nullptr)->get_name(), L"y");
  a->remove_attribute(L"x");
  EXPECT_STREQ(a->get_attribute(1, nullptr)->get_name(), L"y");
  EXPECT_EQ(a->get_attribute(2, nullptr), nullptr);
  a->set_attribute(L"z", L"3");
  EXPECT_STREQ(a->get_attribute(2, nullptr)->get_name(), L"z");
}

TEST(xml_node, set_attribute_keeps_first_spelling_and_order) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"n");
  EXPECT_EQ(node->set_attribute(L"Key", L"1"), 1);
  EXPECT_EQ(node->set_attribute(L"other", L"2"), 1);
  EXPECT_EQ(node->set_attribute(L"KEY", L"3"), 1);
  EXPECT_EQ(node->set_attribute(nullptr, L"x"), 0);
  EXPECT_EQ(dump(node), L"n[Key=3,other=2]");
  node->set_attribute(L"empty", nullptr);
  EXPECT_EQ(dump(node), L"n[Key=3,other=2,empty=]");
}

// Past a handful of attributes lookups go through an index; it must agree with the list.
TEST(xml_node, many_attributes_keep_order_first_spelling_and_removal) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"n");
  const int count = 300;
  for (int i = 0; i < count; ++i) node->set_attribute((L"Name" + std::to_wstring(i)).c_str(), L"v");
  for (int i = 0; i < count; i += 3) node->set_attribute((L"NAME" + std::to_wstring(i)).c_str(), std::to_wstring(i).c_str());
  for (int i = 1; i < count; i += 3) node->remove_attribute((L"name" + std::to_wstring(i)).c_str());
  int seen = 0;
  for (int i = 0; i < count; ++i) {
    std::wstring name = L"nAmE" + std::to_wstring(i);
    const wchar_t* value = node->get_attribute_value(name.c_str());
    KV_xml_attrib* attrib = node->get_attribute(0, name.c_str());
    if (i % 3 == 1) {
      EXPECT_EQ(attrib, nullptr) << i;
      EXPECT_STREQ(value, L"") << i;
      continue;
    }
    ASSERT_NE(attrib, nullptr) << i;
    EXPECT_EQ(std::wstring(attrib->get_name()), L"Name" + std::to_wstring(i));
    EXPECT_EQ(std::wstring(value), i % 3 == 0 ? std::to_wstring(i) : L"v");
    EXPECT_EQ(node->get_attribute(seen++, nullptr), attrib) << "list order at " << i;
  }
  EXPECT_EQ(node->get_attribute(seen, nullptr), nullptr);
  // Removed names can be set again and go to the end.
  node->set_attribute(L"name1", L"back");
  EXPECT_STREQ(node->get_attribute(seen, nullptr)->get_name(), L"name1");
}

TEST(xml_node, remove_attribute_relinks_neighbours) {
  auto loaded = load(L"<a p=\"1\" q=\"2\" r=\"3\"/>");
  KV_xml_node* a = root_of(loaded)->get_child(0, nullptr);
  a->remove_attribute(L"Q");
  EXPECT_EQ(dump(a), L"a[p=1,r=3]");
  a->remove_attribute(L"p");
  EXPECT_EQ(dump(a), L"a[r=3]");
  a->remove_attribute(L"absent");
  a->remove_attribute(L"r");
  EXPECT_EQ(dump(a), L"a");
  a->set_attribute(L"s", L"4");
  EXPECT_EQ(dump(a), L"a[s=4]");
}

TEST(xml_node, add_append_and_detach_children) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* root = doc->get_root();
  KV_xml_node* a = root->add_child(L"a");
  KV_xml_node* b = root->add_child(L"b");
  KV_xml_node* c = root->add_child(nullptr);
  EXPECT_EQ(a->get_parent(), root);
  EXPECT_STREQ(c->get_name(), L"");
  root->detach_child(b);
  EXPECT_EQ(b->get_parent(), nullptr);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](a,)");
  root->detach_child(b);  // not a child any more: nothing happens
  root->detach_child(c);  // the last child: appending must still go to the end
  root->append_child(b);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](a,b)");
  a->append_child(c);
  EXPECT_EQ(c->get_parent(), a);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](a(),b)");
  root->detach_child(a);
  root->append_child(a);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](b,a())");
  EXPECT_EQ(root->has_children(), 1);
  EXPECT_EQ(c->has_children(), 0);
}

// A node appended to a new parent is not taken out of the old parent's list, which now ends at it.
TEST(xml_node, append_child_does_not_unlink_from_earlier_parent) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* root = doc->get_root();
  KV_xml_node* first = root->add_child(L"first");
  KV_xml_node* second = root->add_child(L"second");
  KV_xml_node* moved = first->add_child(L"moved");
  KV_xml_node* after = first->add_child(L"after");
  second->append_child(moved);
  EXPECT_EQ(moved->get_parent(), second);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](first(moved),second(moved))");
  // The earlier parent's list ends at the moved node, so its next child goes after it.
  second->detach_child(moved);
  first->add_child(L"next");
  EXPECT_EQ(dump(root), L"?xml[version=1.0](first(moved,next),second)");
  after->release();
}

TEST(xml_node, appending_own_child_moves_it_to_the_end) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* root = doc->get_root();
  KV_xml_node* a = root->add_child(L"a");
  root->add_child(L"b");
  root->append_child(a);
  root->append_child(a);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](b,a)");
}

// Linked under its own descendant a node would hold itself, and releasing the tree would free it
// twice: appending a node to itself or below it changes nothing.
TEST(xml_node, appending_node_below_itself_is_refused) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* root = doc->get_root();
  KV_xml_node* a = root->add_child(L"a");
  KV_xml_node* b = a->add_child(L"b");
  KV_xml_node* c = b->add_child(L"c");
  a->append_child(a);
  b->append_child(a);
  c->append_child(a);
  c->append_child(root);
  EXPECT_EQ(dump(root), L"?xml[version=1.0](a(b(c)))");
  EXPECT_EQ(a->get_parent(), root);
}

TEST(xml_node, release_of_detached_subtree) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* a = doc->get_root()->add_child(L"a");
  a->add_child(L"b")->add_child(L"c")->set_attribute(L"x", L"1");
  a->add_child(L"d")->set_text(L"t");
  doc->get_root()->detach_child(a);
  a->release();
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0]");
}

// Parsed nodes share memory pages with the rest of their document; one moved to another document
// keeps its page alive after its first document is gone, and the page is wiped when it goes.
TEST(xml_node, parsed_node_outlives_its_document) {
  freed_blocks freed;
  auto source = load(L"<r><a x=\"kept-value\">kept-text</a><b>gone-text</b></r>");
  kv::xml_document other;
  other->create();
  KV_xml_node* a = root_of(source)->get_child(0, nullptr)->get_child(0, L"a");
  ASSERT_NE(a, nullptr);
  root_of(source)->get_child(0, nullptr)->detach_child(a);
  other->get_root()->append_child(a);
  source.doc->clear();
  EXPECT_EQ(dump(other.get()), L"?xml[version=1.0](a[x=kept-value]\"kept-text\")");
  EXPECT_FALSE(freed.hold(L"gone-text"));
  other->clear();
  EXPECT_FALSE(freed.hold(L"kept-text"));
  EXPECT_FALSE(freed.hold(L"kept-value"));
}

TEST(xml_node, texts_and_inner_text) {
  auto loaded = load(L"<r><a>one</a><b><c>two</c><d/><e>three<f>hidden</f></e></b><g>four</g></r>");
  ASSERT_EQ(loaded.result, 1);
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  EXPECT_EQ(take_text(r->get_inner_text()), L"onetwohiddenfour");
  EXPECT_EQ(take_text(r->get_child(0, L"a")->get_inner_text()), L"one");
  EXPECT_EQ(take_text(r->get_child(0, L"b")->get_child(0, L"d")->get_inner_text()), L"");
  KV_xml_node* g = r->get_child(0, L"g");
  g->add_child(L"h")->set_text(L"under");
  EXPECT_EQ(take_text(g->get_inner_text()), L"four");
  g->set_text(L"");
  EXPECT_EQ(take_text(g->get_inner_text()), L"under");
  g->set_text(nullptr);
  EXPECT_STREQ(g->get_text(), L"");
}

// Short texts and values live in the node's or attribute's own block; longer ones move out.
TEST(xml_node, texts_and_values_across_inline_room) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"n");
  node->set_attribute(L"a", L"");
  for (std::size_t length : {1u, 7u, 8u, 15u, 16u, 100u, 3u, 0u, 40u}) {
    SCOPED_TRACE(length);
    std::wstring text(length, L'x');
    text += L"&lt;";
    node->set_text_decode(text.c_str());
    node->set_attribute_decode(L"A", text.c_str());
    EXPECT_EQ(std::wstring(node->get_text()), std::wstring(length, L'x') + L"<");
    EXPECT_EQ(std::wstring(node->get_attribute_value(L"a")), std::wstring(length, L'x') + L"<");
  }
  EXPECT_EQ(dump(node), L"n[a=" + std::wstring(40, L'x') + L"<]\"" + std::wstring(40, L'x') + L"<\"");
}

TEST(xml_node, get_text_encoded_escapes_into_buffer) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"n");
  node->set_text(L"a<b & \"c\" 'd'>");
  KVXML_string out(L"old");
  node->get_text_encoded(out);
  EXPECT_STREQ(out.text(), L"a&lt;b &amp; &quot;c&quot; &#39;d&#39;&gt;");
  EXPECT_STREQ(node->get_text(), L"a<b & \"c\" 'd'>");
}

TEST(xml_node, find_child_by_attribute_compares_values_without_case) {
  auto loaded = load(L"<r><p name=\"a\"/><p/><p name=\"B\" n=\"2\"/></r>");
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  EXPECT_EQ(r->find_child_by_attribute(L"NAME", L"b"), r->get_child(2, nullptr));
  EXPECT_EQ(r->find_child_by_attribute(L"name", L""), r->get_child(1, nullptr));
  EXPECT_EQ(r->find_child_by_attribute(L"name", L"c"), nullptr);
  EXPECT_EQ(r->find_child_by_attribute(L"n", L"2"), r->get_child(2, nullptr));
}

TEST(xml_node, find_descendant_is_first_in_preorder) {
  auto loaded = load(L"<r><a><b><x n=\"deep\"/></b></a><x n=\"shallow\"/></r>");
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  ASSERT_NE(r->find_descendant(L"X"), nullptr);
  EXPECT_STREQ(r->find_descendant(L"X")->get_attribute_value(L"n"), L"deep");
  EXPECT_EQ(r->find_descendant(L"r"), nullptr);  // never the node itself
  EXPECT_EQ(r->find_descendant(L""), nullptr);
  EXPECT_EQ(r->find_descendant(nullptr), nullptr);
  EXPECT_EQ(r->find_descendant(L"missing"), nullptr);
  EXPECT_STREQ(root_of(loaded)->find_descendant(L"b")->get_name(), L"b");
}

struct path_row {
  const char* name;
  const wchar_t* path;
  const wchar_t* select;  // the "n" attribute of the result; L"self" for the start node, null for none
  const wchar_t* search;
};

// Start node r:  a(n=a1)  a(n=a2)/b(n=b2)/c(n=c2)  x(n=x1)/a(n=xa)/b(n=xab)
const path_row path_rows[] = {
    {"single", L"a", L"a1", L"a1"},
    {"select_takes_first_match_only", L"a/b", nullptr, L"b2"},
    {"three_steps", L"a/b/c", nullptr, L"c2"},
    {"select_tolerates_extra_separators", L"/a//b/", nullptr, nullptr},
    {"select_tolerates_extra_separators_found", L"//x//a/", L"xa", nullptr},
    {"empty", L"", L"self", L"self"},
    {"separator_only", L"/", L"self", L"self"},
    {"letter_case", L"X/A", L"xa", L"xa"},
    {"missing", L"q", nullptr, nullptr},
    // search_path counts the rest from the start of the path, so a leading "/" repeats a step.
    {"search_leading_separator_shifts", L"/x/a", L"xa", nullptr},
    {"search_leading_separator_repeats_first", L"/a/b", nullptr, nullptr},
    {"search_double_separator_shifts", L"x//a/b", L"xab", nullptr},
    {"trailing_separator", L"x/a/", L"xa", L"xa"},
};

TEST(xml_node, select_and_search_path_table) {
  auto loaded = load(
      L"<r><a n=\"a1\"/><a n=\"a2\"><b n=\"b2\"><c n=\"c2\"/></b></a><x n=\"x1\"><a n=\"xa\"><b n=\"xab\"/></a></x></r>");
  ASSERT_EQ(loaded.result, 1);
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  auto describe = [r](KV_xml_node* found) -> std::wstring {
    if (!found) return L"<null>";
    if (found == r) return L"self";
    return found->get_attribute_value(L"n");
  };
  for (const path_row& row : path_rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(describe(r->select_path(row.path)), row.select ? row.select : L"<null>");
    EXPECT_EQ(describe(r->search_path(row.path)), row.search ? row.search : L"<null>");
  }
  EXPECT_EQ(r->select_path(nullptr), nullptr);
  EXPECT_EQ(r->search_path(nullptr), nullptr);
}

TEST(xml_node, search_path_backtracks_over_every_match) {
  auto loaded = load(L"<r><a><b/></a><a><b><c n=\"1\"/></b></a><a><b><c n=\"2\"/><c n=\"3\"/></b></a></r>");
  KV_xml_node* r = root_of(loaded)->get_child(0, nullptr);
  ASSERT_NE(r->search_path(L"a/b/c"), nullptr);
  EXPECT_STREQ(r->search_path(L"a/b/c")->get_attribute_value(L"n"), L"1");
  EXPECT_EQ(r->select_path(L"a/b/c"), nullptr);
}

TEST(xml_compare, same_tree_ignores_texts_at_every_depth) {
  auto left = load(L"<r a=\"1\"><x>one</x><y><z>deep</z></y></r>");
  auto right = load(L"<R A=\"1\"><X>two</X><Y><Z/></Y></R>");
  EXPECT_TRUE(root_of(left)->same_tree(root_of(right)));
  EXPECT_TRUE(root_of(left)->same_attributes(root_of(right)));
}

struct compare_row {
  const char* name;
  const wchar_t* left;
  const wchar_t* right;
  bool same_attributes;  // of the first elements
  bool same_tree;        // of the documents
};

const compare_row compare_rows[] = {
    {"equal", L"<a x=\"1\"/>", L"<a x=\"1\"/>", true, true},
    {"value_case_ignored", L"<a x=\"Val\"/>", L"<a X=\"vAL\"/>", true, true},
    {"name_differs", L"<a/>", L"<b/>", false, false},
    {"value_differs", L"<a x=\"1\"/>", L"<a x=\"2\"/>", false, false},
    {"other_has_more_attributes", L"<a x=\"1\"/>", L"<a x=\"1\" y=\"2\"/>", false, false},
    {"other_has_fewer_attributes", L"<a x=\"1\" y=\"2\"/>", L"<a x=\"1\"/>", false, false},
    {"attribute_order_matters", L"<a x=\"1\" y=\"2\"/>", L"<a y=\"2\" x=\"1\"/>", false, false},
    {"other_has_more_children", L"<a><b/></a>", L"<a><b/><c/></a>", true, false},
    {"other_has_fewer_children", L"<a><b/><c/></a>", L"<a><b/></a>", true, false},
    {"difference_deep_down", L"<a><b><c k=\"1\"/></b></a>", L"<a><b><c k=\"2\"/></b></a>", true, false},
    {"children_ignored_by_same_attributes", L"<a><b/></a>", L"<a/>", true, false},
};

TEST(xml_compare, table) {
  for (const compare_row& row : compare_rows) {
    SCOPED_TRACE(row.name);
    auto left = load(row.left);
    auto right = load(row.right);
    KV_xml_node* l = root_of(left)->get_child(0, nullptr);
    KV_xml_node* r = root_of(right)->get_child(0, nullptr);
    EXPECT_EQ(l->same_attributes(r), row.same_attributes);
    EXPECT_EQ(l->attributes_differ(r), !row.same_attributes);
    EXPECT_EQ(root_of(left)->same_tree(root_of(right)), row.same_tree);
  }
  auto one = load(L"<a/>");
  EXPECT_FALSE(root_of(one)->same_tree(nullptr));
  EXPECT_FALSE(root_of(one)->same_attributes(nullptr));
  EXPECT_TRUE(root_of(one)->attributes_differ(nullptr));
}

TEST(xml_copy, copy_node_takes_name_text_and_attributes_not_children) {
  auto source = load(L"<a x=\"1\" y=\"&amp;\">t</a>");
  kv::xml_document target;
  target->create();
  KV_xml_node* a = root_of(source)->get_child(0, nullptr);
  a->add_child(L"child");
  KV_xml_node* copy = a->copy_node(a, target->get_root());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->get_parent(), target->get_root());
  EXPECT_EQ(dump(target.get()), L"?xml[version=1.0](a[x=1,y=&]\"t\")");
  EXPECT_EQ(a->copy_node(nullptr, target->get_root()), nullptr);
}

TEST(xml_copy, copy_children_filters_top_level_by_name_only) {
  auto source = load(L"<r><p n=\"1\"><q/><p/></p><o/><P n=\"2\">t</P></r>");
  kv::xml_document target;
  target->create();
  KV_xml_node* r = root_of(source)->get_child(0, nullptr);
  EXPECT_EQ(r->copy_children(r, target->get_root(), L"p"), 1);
  EXPECT_EQ(dump(target.get()), L"?xml[version=1.0](p[n=1](q,p),P[n=2]\"t\")");
  EXPECT_EQ(r->copy_children(r, target->get_root(), nullptr), 1);
  EXPECT_EQ(dump(target->get_root()->get_child(2, nullptr)), L"p[n=1](q,p)");
  EXPECT_STREQ(target->get_root()->get_child(3, nullptr)->get_name(), L"o");
  EXPECT_EQ(r->copy_children(nullptr, target->get_root(), nullptr), 0);
}

// A destination inside the copied subtree receives a copy of the subtree as it was before.
TEST(xml_copy, copy_children_into_own_subtree_copies_the_tree_as_it_was) {
  struct row {
    const wchar_t* destination;  // path below r, or empty for r itself
    const wchar_t* name;
    const wchar_t* expected;  // r after the copy
  };
  const row rows[] = {
      {L"", nullptr, L"r(p[n=1](q),o,p[n=1](q),o)"},
      {L"", L"p", L"r(p[n=1](q),o,p[n=1](q))"},
      {L"p", nullptr, L"r(p[n=1](q,p[n=1](q),o),o)"},
      {L"p/q", L"o", L"r(p[n=1](q(o)),o)"},
      {L"p/q", nullptr, L"r(p[n=1](q(p[n=1](q),o)),o)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.destination)));
    auto source = load(L"<r><p n=\"1\"><q/></p><o/></r>");
    KV_xml_node* top = root_of(source)->get_child(0, nullptr);
    KV_xml_node* destination = top->select_path(r.destination);
    ASSERT_NE(destination, nullptr);
    EXPECT_EQ(top->copy_children(top, destination, r.name), 1);
    EXPECT_EQ(dump(top), r.expected);
  }
}

}  // namespace
