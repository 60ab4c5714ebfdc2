// The writer's exact layout and escaping, and reading written text back.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <new>
#include <string>

#include "xml/escapes.h"
#include "xml/kvxml_string.h"
#include "xml/writer.h"
#include "xml_test_support.h"

namespace {

using xml_test::dump;
using xml_test::load;
using xml_test::saved;

kv::xml_document created() {
  kv::xml_document doc;
  doc->create();
  return doc;
}

TEST(xml_write, declaration_alone_has_no_line_end) {
  auto doc = created();
  const kv::xml_text text(doc.get(), doc->save_to_string());
  EXPECT_STREQ(text.get(), L"\xFEFF<?xml version=\"1.0\"?>");
}

TEST(xml_write, result_value_example) {
  auto doc = created();
  doc->get_root()->add_child(L"value")->set_text(L"5");
  EXPECT_EQ(saved(doc.get()), L"<?xml version=\"1.0\"?>\r\n  <value>5</value>\r\n");
}

struct layout_row {
  const char* name;
  const wchar_t* text;  // loaded, then saved
  const wchar_t* written;
};

const layout_row layout_rows[] = {
    {"element_without_anything_on_two_lines", L"<e/>", L"<?xml version=\"1.0\"?>\r\n  <e>\r\n  </e>\r\n"},
    {"attributes_without_content_on_one_line", L"<n a=\"v\" b=\"w\"/>",
     L"<?xml version=\"1.0\"?>\r\n  <n a=\"v\" b=\"w\"></n>\r\n"},
    {"children_indented_two_spaces_a_level", L"<a x=\"1\"><b><c>t</c></b><d/></a>",
     L"<?xml version=\"1.0\"?>\r\n  <a x=\"1\">\r\n    <b>\r\n      <c>t</c>\r\n    </b>\r\n    <d>\r\n    </d>\r\n"
     L"  </a>\r\n"},
    {"declaration_attributes_written_back", L"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>x</a>",
     L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n  <a>x</a>\r\n"},
    {"nested_declaration_with_children", L"<a/><?xml v=\"2\"?><b>t</b>",
     L"<?xml version=\"1.0\"?>\r\n  <a>\r\n  </a>\r\n  <?xml v=\"2\"?>\r\n    <b>t</b>\r\n  "},
    {"nested_declaration_alone", L"<a><?xml v=\"1\"?></a>",
     L"<?xml version=\"1.0\"?>\r\n  <a>\r\n    <?xml v=\"1\"?>  </a>\r\n"},
    {"names_written_as_stored", L"<a\nb>t</a\nb>", L"<?xml version=\"1.0\"?>\r\n  <a\nb>t</a\nb>\r\n"},
};

TEST(xml_write, layout_table) {
  for (const layout_row& row : layout_rows) {
    SCOPED_TRACE(row.name);
    auto loaded = load(row.text);
    ASSERT_EQ(loaded.result, 1);
    EXPECT_EQ(saved(loaded.doc.get()), row.written);
  }
}

TEST(xml_write, nodes_built_through_the_interface) {
  auto doc = created();
  KV_xml_node* root = doc->get_root();
  KV_xml_node* paths = root->add_child(L"paths");
  paths->add_child(L"path")->set_text(L"C:\\a b");
  paths->add_child(L"path");
  root->add_child(L"a&b")->set_attribute(L"k<", L"v");
  root->add_child(L"t")->set_text(L"line\r\nbreak\ttab \x00E9");
  EXPECT_EQ(saved(doc.get()),
            L"<?xml version=\"1.0\"?>\r\n"
            L"  <paths>\r\n"
            L"    <path>C:\\a b</path>\r\n"
            L"    <path>\r\n"
            L"    </path>\r\n"
            L"  </paths>\r\n"
            L"  <a&b k<=\"v\"></a&b>\r\n"
            L"  <t>line\r\nbreak\ttab \x00E9</t>\r\n");
}

// Text wins over children, and a declaration with text gets neither "?" nor an end tag.
TEST(xml_write, text_beside_children_and_declaration_with_text) {
  auto doc = created();
  KV_xml_node* a = doc->get_root()->add_child(L"a");
  a->set_text(L"own");
  a->add_child(L"hidden");
  doc->get_root()->set_text(L"decl");
  EXPECT_EQ(saved(doc.get()), L"<?xml version=\"1.0\">decl");
  doc->get_root()->set_text(L"");
  EXPECT_EQ(saved(doc.get()), L"<?xml version=\"1.0\"?>\r\n  <a>own</a>\r\n");
  doc->get_root()->remove_attribute(L"version");
  doc->get_root()->detach_child(a);
  EXPECT_EQ(saved(doc.get()), L"<?xml?>\r\n");
  a->release();
}

TEST(xml_write, write_node_at_depth) {
  auto loaded = load(L"<a><b/></a>");
  KVXML_string out(L"[");
  kvxml::write_node(2, static_cast<KVXML_node*>(loaded.doc->get_root()->get_child(0, nullptr)), out);
  EXPECT_STREQ(out.text(), L"[    <a>\r\n      <b>\r\n      </b>\r\n    </a>\r\n");
  kvxml::write_node(0, nullptr, out);
  EXPECT_EQ(out.length(), 43);
}

// An indentation past the largest text fails as an allocation failure instead of wrapping.
TEST(xml_write, huge_depth_fails_cleanly) {
  auto loaded = load(L"<a/>");
  auto* a = static_cast<KVXML_node*>(loaded.doc->get_root()->get_child(0, nullptr));
  KVXML_string out(L"kept");
  EXPECT_THROW(kvxml::write_node(INT32_MAX, a, out), std::bad_alloc);
  EXPECT_THROW(kvxml::write_node(INT32_MAX / 2, a, out), std::bad_alloc);
  EXPECT_STREQ(out.text(), L"kept");
}

struct escape_row {
  const char* name;
  const wchar_t* plain;
  const wchar_t* encoded;
};

const escape_row escape_rows[] = {
    {"all_five", L"a<b & \"c\"", L"a&lt;b &amp; &quot;c&quot;"},
    {"apostrophe_numeric", L"it's", L"it&#39;s"},
    {"greater_than", L">", L"&gt;"},
    {"others_untouched", L"\r\n\t\x00E9;#", L"\r\n\t\x00E9;#"},
    {"empty", L"", L""},
    {"adjacent", L"<<&&", L"&lt;&lt;&amp;&amp;"},
};

TEST(xml_escape, encode_table) {
  for (const escape_row& row : escape_rows) {
    SCOPED_TRACE(row.name);
    KVXML_string text(row.plain);
    text.encode_references();
    EXPECT_STREQ(text.text(), row.encoded);
    KVXML_string appended(L"x");
    kvxml::append_encoded(appended, row.plain, std::wstring(row.plain).size());
    EXPECT_EQ(std::wstring(appended.text()), L"x" + std::wstring(row.encoded));
  }
}

// escaped() is there for code outside the library that writes XML: for every unit it must answer
// what the writer writes, and a reference it answers must read back as the unit.
TEST(xml_escape, escaped_answers_what_the_writer_writes_for_every_unit) {
  int references = 0;
  for (std::uint32_t unit = 1; unit <= 0xFFFF; ++unit) {
    const wchar_t c = static_cast<wchar_t>(unit);
    KVXML_string written;
    kvxml::append_encoded(written, &c, 1);
    const wchar_t* reference = kvxml::escaped(c);
    if (!reference) {
      ASSERT_EQ(written.length(), 1) << "unit " << unit;
      ASSERT_EQ(written.text()[0], c) << "unit " << unit;
      continue;
    }
    ++references;
    EXPECT_STREQ(written.text(), reference) << "unit " << unit;
    KVXML_string read_back(reference);
    read_back.decode_references();
    EXPECT_EQ(read_back.length(), 1) << "unit " << unit;
    EXPECT_EQ(read_back.text()[0], c) << "unit " << unit;
  }
  EXPECT_EQ(references, 5);
}

TEST(xml_escape, text_without_specials_keeps_its_buffer) {
  KVXML_string text(L"plain text");
  const wchar_t* before = text.text();
  text.encode_references();
  EXPECT_EQ(text.text(), before);
}

TEST(xml_escape, attribute_values_and_texts_escaped_when_written) {
  auto doc = created();
  KV_xml_node* n = doc->get_root()->add_child(L"n");
  n->set_attribute(L"v", L"a<b & \"c\"");
  n->set_text(L"it's > 0");
  EXPECT_EQ(saved(doc.get()), L"<?xml version=\"1.0\"?>\r\n  <n v=\"a&lt;b &amp; &quot;c&quot;\">it&#39;s &gt; 0</n>\r\n");
}

TEST(xml_round_trip, written_tree_reads_back_equal) {
  auto doc = created();
  KV_xml_node* root = doc->get_root();
  KV_xml_node* f = root->add_child(L"function");
  f->set_attribute(L"name", L"keystore_create_key");
  KV_xml_node* p = f->add_child(L"parameter");
  p->set_attribute(L"name", L"label");
  p->set_attribute(L"quoted", L"'single' \"double\" <&>");
  p->set_text(L"  lead kept?  <tag> & 'q' \"d\" \x4E2D");
  f->add_child(L"empty");
  f->add_child(L"attr_only")->set_attribute(L"a", L"");
  KV_xml_node* deep = f->add_child(L"l1")->add_child(L"l2")->add_child(L"l3");
  deep->set_text(L"bottom");

  auto back = load(saved(doc.get()));
  ASSERT_EQ(back.result, 1);
  EXPECT_TRUE(root->same_tree(back.doc->get_root()));
  KV_xml_node* q = back.doc->get_root()->select_path(L"function/parameter");
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q->get_attribute_value(L"quoted"), L"'single' \"double\" <&>");
  // Leading blanks of a text are passed over by the reader.
  EXPECT_STREQ(q->get_text(), L"lead kept?  <tag> & 'q' \"d\" \x4E2D");
  EXPECT_STREQ(back.doc->get_root()->search_path(L"function/l1/l2/l3")->get_text(), L"bottom");
  EXPECT_EQ(saved(back.doc.get()), saved(doc.get()).replace(
      saved(doc.get()).find(L"  lead"), 6, L"lead"));
}

TEST(xml_round_trip, line_breaks_and_trailing_blanks_in_texts_are_lost) {
  auto doc = created();
  doc->get_root()->add_child(L"t")->set_text(L"one\r\ntwo  ");
  auto back = load(saved(doc.get()));
  ASSERT_EQ(back.result, 1);
  EXPECT_STREQ(back.doc->get_root()->get_child(0, nullptr)->get_text(), L"onetwo");
}

TEST(xml_round_trip, request_saved_and_read_again_is_stable) {
  auto first = load(
      L"\xFEFF<?xml version=\"1.0\"?>\r\n<!-- request -->\r\n<function name=\"keystore_drives\">\r\n"
      L"  <parameter name=\"flags\" type=\"number\">5</parameter>\r\n</function>\r\n");
  ASSERT_EQ(first.result, 1);
  std::wstring once = saved(first.doc.get());
  auto second = load(once);
  ASSERT_EQ(second.result, 1);
  EXPECT_EQ(saved(second.doc.get()), once);
  EXPECT_EQ(dump(second.doc.get()),
            L"?xml[version=1.0](function[name=keystore_drives](parameter[name=flags,type=number]\"5\"))");
}

}  // namespace
