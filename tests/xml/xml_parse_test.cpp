// The reader: what it accepts, what it refuses, and the tree it leaves in either case.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "xml/kvxml_string.h"
#include "xml/parser.h"
#include "xml_test_support.h"

namespace {

using xml_test::dump;
using xml_test::load;

struct parse_row {
  const char* name;
  const wchar_t* text;
  int result;
  const wchar_t* tree;  // dump() of the document afterwards
};

const parse_row accepted_rows[] = {
    {"declaration_function_parameter",
     L"<?xml version=\"1.0\"?><function name=\"f\"><parameter name=\"p\">v</parameter></function>", 1,
     L"?xml[version=1.0](function[name=f](parameter[name=p]\"v\"))"},
    {"no_declaration_gets_created_root", L"<function name=\"f\"><parameter name=\"p\">v</parameter></function>", 1,
     L"?xml[version=1.0](function[name=f](parameter[name=p]\"v\"))"},
    {"declaration_keeps_own_attributes", L"<?xml version=\"1.1\" encoding=\"UTF-8\"?><a/>", 1,
     L"?xml[version=1.1,encoding=UTF-8](a)"},
    {"declaration_with_blank_before_question_mark", L"<?xml version=\"1.0\" ?>", 1, L"?xml[version=1.0]"},
    {"declaration_in_upper_case", L"<?XML version=\"2\"?><a/>", 1, L"?XML[version=2](a)"},
    {"declaration_takes_following_elements", L"<?xml version=\"1.0\"?><a/><b/>", 1, L"?xml[version=1.0](a,b)"},
    {"declaration_after_element_stays_child", L"<a/><?xml v=\"2\"?><b/>", 1,
     L"?xml[version=1.0](a,?xml[v=2](b))"},
    {"declaration_inside_element", L"<a><?xml v=\"1\"?></a>", 1, L"?xml[version=1.0](a(?xml[v=1]))"},
    {"leading_byte_order_mark", L"\xFEFF<a/>", 1, L"?xml[version=1.0](a)"},
    {"empty_text", L"", 1, L"?xml[version=1.0]"},
    {"blank_text", L"  \r\n\t", 1, L"?xml[version=1.0]"},
    {"single_quotes_keep_double_quotes", L"<a x='say \"hi\"'/>", 1, L"?xml[version=1.0](a[x=say \"hi\"])"},
    {"double_quotes_keep_apostrophe", L"<a x=\"it's\"/>", 1, L"?xml[version=1.0](a[x=it's])"},
    {"value_over_lines_loses_line_breaks", L"<a x=\"1\r\n 2\n3\r\"/>", 1, L"?xml[version=1.0](a[x=1 23])"},
    {"value_keeps_tabs_and_spaces", L"<a x=\" \t1 \"/>", 1, L"?xml[version=1.0](a[x= \t1 ])"},
    {"value_references_decoded", L"<a x=\"&lt;&#39;&quot;&AMP;\"/>", 1, L"?xml[version=1.0](a[x=<'\"&])"},
    {"attribute_name_keeps_inner_blanks", L"<a b c = \"1\"/>", 1, L"?xml[version=1.0](a[b c=1])"},
    {"attributes_without_blank_between", L"<a x=\"1\"y=\"2\"/>", 1, L"?xml[version=1.0](a[x=1,y=2])"},
    {"repeated_attribute_keeps_first_spelling", L"<a x=\"1\" X=\"2\"/>", 1, L"?xml[version=1.0](a[x=2])"},
    {"comment_between_attributes", L"<a <!--c--> x=\"1\"/>", 1, L"?xml[version=1.0](a[x=1])"},
    {"self_closed_with_blank", L"<a />", 1, L"?xml[version=1.0](a)"},
    {"text_pieces_joined_without_line_breaks", L"<a>one\r\n  two  </a>", 1, L"?xml[version=1.0](a\"one  two\")"},
    {"text_blanks_trimmed_both_ends", L"<a>  x  </a>", 1, L"?xml[version=1.0](a\"x\")"},
    {"text_may_hold_greater_than", L"<a>1 > 0</a>", 1, L"?xml[version=1.0](a\"1 > 0\")"},
    {"text_beside_children_dropped", L"<a>x<b/>y</a>", 1, L"?xml[version=1.0](a(b))"},
    {"text_then_comment", L"<a>x<!--c--></a>", 1, L"?xml[version=1.0](a\"x\")"},
    {"comment_then_text", L"<a><!--c-->x</a>", 1, L"?xml[version=1.0](a\"x\")"},
    {"text_references_decoded_after_trim", L"<a>x&#32;</a>", 1, L"?xml[version=1.0](a\"x \")"},
    {"text_semicolon_only_before_ampersand", L"<a>x; &amp</a>", 1, L"?xml[version=1.0](a\"x; &amp\")"},
    {"text_unknown_reference_across_words_vanishes", L"<a>a &amp b; c</a>", 1, L"?xml[version=1.0](a\"a  c\")"},
    {"blank_and_comment_before_first_child", L"<a> <!--c--> <b/></a>", 1, L"?xml[version=1.0](a(b))"},
    {"closing_name_ignores_case", L"<A></a>", 1, L"?xml[version=1.0](A)"},
    {"closing_tag_rest_ignored", L"<a></a junk><b/>", 1, L"?xml[version=1.0](a,b)"},
    {"closing_tag_with_blanks", L"<a></ a >", 1, L"?xml[version=1.0](a)"},
    {"stray_closing_tag_ends_parse", L"<a/></x><b/>", 1, L"?xml[version=1.0](a)"},
    {"stray_closing_tag_after_declaration", L"<?xml version=\"1.0\"?></x><b/>", 1, L"?xml[version=1.0]"},
    {"text_outside_elements_dropped", L"junk<a/>more<b/>tail", 1, L"?xml[version=1.0](a,b)"},
    {"name_runs_over_line_break", L"<a\nx=\"1\"/>", 1, L"?xml[version=1.0](a\nx=\"1\")"},
    {"name_runs_over_tab", L"<a\tb></a\tb>", 1, L"?xml[version=1.0](a\tb)"},
    {"empty_name", L"<>x</>", 1, L"?xml[version=1.0](\"x\")"},
    {"short_comment_is_whole", L"<!--><a/>", 1, L"?xml[version=1.0](a)"},
    {"unterminated_comment_after_closed_elements", L"<a/><!-- open", 1, L"?xml[version=1.0](a)"},
    {"nested_elements", L"<a><b><c>t</c></b><d/></a>", 1, L"?xml[version=1.0](a(b(c\"t\"),d))"},
    {"text_ending_in_slash_after_comment", L"<a>x<!--c-->y/</a>", 1, L"?xml[version=1.0](a\"x\")"},
};

// Every refusal: the result is 0 and the document keeps its created root with the elements that
// were complete before the failing one.
const parse_row refused_rows[] = {
    {"declaration_without_attribute", L"<?xml?>", 0, L"?xml[version=1.0]"},
    {"start_tag_at_end", L"<a", 0, L"?xml[version=1.0]"},
    {"lone_less_than", L"<", 0, L"?xml[version=1.0]"},
    {"attribute_without_equals_before_end_of_tag", L"<a x>", 0, L"?xml[version=1.0]"},
    {"attribute_without_equals_at_end", L"<a x", 0, L"?xml[version=1.0]"},
    {"attribute_name_over_slash", L"<a b/>", 0, L"?xml[version=1.0]"},
    {"unquoted_value", L"<a x=1/>", 0, L"?xml[version=1.0]"},
    {"greater_than_in_value", L"<a x=\"1 > 0\"/>", 0, L"?xml[version=1.0]"},
    {"end_inside_value", L"<a x=\"1", 0, L"?xml[version=1.0]"},
    {"mixed_quotes_do_not_close", L"<a x=\"1'/>", 0, L"?xml[version=1.0]"},
    {"slash_then_blank", L"<a/ >", 0, L"?xml[version=1.0]"},
    {"slash_then_blank_after_attribute", L"<a x=\"1\"/ >", 0, L"?xml[version=1.0]"},
    {"question_mark_outside_declaration", L"<a x=\"1\"?>", 0, L"?xml[version=1.0]"},
    {"text_to_end", L"<a>text", 0, L"?xml[version=1.0]"},
    {"empty_element_to_end", L"<a>", 0, L"?xml[version=1.0]"},
    {"text_after_comment", L"<a>x<!--c-->y</a>", 0, L"?xml[version=1.0]"},
    {"missing_closing_tag", L"<a><b/>", 0, L"?xml[version=1.0]"},
    {"closing_name_differs", L"<a></b>", 0, L"?xml[version=1.0]"},
    {"closing_name_to_end", L"<a></a", 0, L"?xml[version=1.0]"},
    {"unterminated_comment_inside_element", L"<a><!-- open", 0, L"?xml[version=1.0]"},
    {"document_type_declaration", L"<!DOCTYPE a><a/>", 0, L"?xml[version=1.0]"},
    {"cdata_section", L"<a><![CDATA[x]]></a>", 0, L"?xml[version=1.0]"},
    {"processing_instruction", L"<?pi x?><a/>", 0, L"?xml[version=1.0]"},
    {"failure_keeps_completed_siblings", L"<a/><b>", 0, L"?xml[version=1.0](a)"},
    {"failure_keeps_completed_subtrees", L"<a/><b><c/></b><d>", 0, L"?xml[version=1.0](a,b(c))"},
    {"failing_element_freed_with_its_children", L"<a/><b><c/><d>", 0, L"?xml[version=1.0](a)"},
    {"failing_declaration_freed", L"<?xml version=\"1.0\"?><a/><b>", 0, L"?xml[version=1.0]"},
};

void check_rows(const parse_row* rows, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const parse_row& row = rows[i];
    SCOPED_TRACE(row.name);
    auto loaded = load(row.text);
    EXPECT_EQ(loaded.result, row.result);
    EXPECT_EQ(dump(loaded.doc.get()), row.tree);
  }
}

TEST(xml_parse, accepts_the_request_subset) { check_rows(accepted_rows, std::size(accepted_rows)); }

TEST(xml_parse, refuses_malformed_text_keeping_completed_elements) {
  check_rows(refused_rows, std::size(refused_rows));
}

// A tag's repeated names are merged once it is read: the result must be what setting the
// attributes one after the other gives (first place and spelling, last value), whether the tag
// is compared pair by pair or split by hash, and a lookup afterwards must find each name.
TEST(xml_parse, repeated_attribute_names_read_as_set_in_order) {
  for (int count : {5, 17, 5000}) {
    SCOPED_TRACE(count);
    std::wstring text = L"<a";
    kv::xml_document reference;
    reference->create();
    KV_xml_node* expected = reference->get_root()->add_child(L"a");
    for (int i = 0; i < count; ++i) {
      // Every third attribute repeats an earlier name in other letters; values say where they stood.
      std::wstring name = i % 3 == 2 ? L"NAME" + std::to_wstring(i / 2) : L"name" + std::to_wstring(i);
      std::wstring value = L"v" + std::to_wstring(i) + (i % 5 == 0 ? L"&amp;" : L"");
      text += L" " + name + L"=\"" + value + L"\"";
      expected->set_attribute_decode(name.c_str(), value.c_str());
    }
    auto loaded = load(text + L"/>");
    ASSERT_EQ(loaded.result, 1);
    KV_xml_node* a = loaded.doc->get_root()->get_child(0, nullptr);
    EXPECT_EQ(dump(a), dump(expected));
    for (int i = 0; KV_xml_attrib* attrib = expected->get_attribute(i, nullptr); ++i) {
      EXPECT_STREQ(a->get_attribute_value(attrib->get_name()), attrib->get_value()) << attrib->get_name();
    }
    a->set_attribute(L"Name0", L"again");
    EXPECT_STREQ(a->get_attribute(0, nullptr)->get_value(), L"again");
    EXPECT_EQ(a->get_attribute(0, L"NAME0"), a->get_attribute(0, nullptr));
    a->remove_attribute(L"NAME1");
    EXPECT_EQ(a->get_attribute(0, L"name1"), nullptr);
    EXPECT_STREQ(a->get_attribute(1, nullptr)->get_name(), L"name3");
  }
}

TEST(xml_parse, null_text_gives_created_document) {
  kv::xml_document doc;
  EXPECT_EQ(doc->load_from_string(nullptr), 1);
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0]");
}

TEST(xml_parse, reload_replaces_previous_tree) {
  auto loaded = load(L"<a/>");
  EXPECT_EQ(loaded.doc->load_from_string(L"<b/>"), 1);
  EXPECT_EQ(dump(loaded.doc.get()), L"?xml[version=1.0](b)");
}

// The text read may live in the tree that the load replaces, in a node's block or a buffer of its own.
TEST(xml_parse, reload_from_own_text_or_value) {
  const wchar_t* const sources[] = {L"<a>&lt;b k='1'/&gt;&lt;c/&gt;</a>", L"<a v=\"&lt;b k='1'/&gt;&lt;c/&gt;\"/>",
                                    L"<a>&lt;b&gt;a text too long for the node's own room&lt;/b&gt;</a>"};
  for (const wchar_t* source : sources) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(source)));
    auto loaded = load(source);
    KV_xml_node* a = loaded.doc->get_root()->get_child(0, nullptr);
    const wchar_t* own = *a->get_text() ? a->get_text() : a->get_attribute_value(L"v");
    auto expected = load(own);
    EXPECT_EQ(loaded.doc->load_from_string(own), 1);
    EXPECT_EQ(dump(loaded.doc.get()), dump(expected.doc.get()));
    EXPECT_NE(dump(expected.doc.get()), L"?xml[version=1.0]");
  }
}

struct reference_row {
  const char* name;
  const wchar_t* encoded;
  std::wstring decoded;
};

const reference_row reference_rows[] = {
    {"named_hex_unknown_and_lone_ampersand", L"&AMP;&#65;&#x41;&foo;&", L"&A&"},
    {"reference_runs_to_first_semicolon", L"a & b; c", L"a  c"},
    {"all_named", L"&lt;&gt;&quot;&apos;&amp;", L"<>\"'&"},
    {"named_ignore_case", L"&LT;&Gt;&QuOt;", L"<>\""},
    {"no_semicolon_after", L"&amp", L"&amp"},
    {"ampersand_after_last_semicolon", L"x;&y", L"x;&y"},
    {"empty_name_dropped", L"a&;b", L"ab"},
    {"ampersand_inside_name", L"&&amp;x", L"x"},
    {"decimal", L"&#65;&#0066;", L"AB"},
    {"minus_one_is_ffff", L"&#-1;", std::wstring(1, L'\xFFFF')},
    {"cut_to_sixteen_bits_zero", L"a&#65536;b", L"ab"},
    {"cut_to_sixteen_bits", L"&#65601;", L"A"},
    {"negative_cut", L"&#-65471;", L"A"},
    {"overflow_saturates_high", L"&#99999999999;", std::wstring(1, L'\xFFFF')},
    {"overflow_saturates_low", L"a&#-99999999999;", L"a"},
    {"long_max", L"&#2147483647;", std::wstring(1, L'\xFFFF')},
    {"just_over_long_max_saturates", L"&#4294967361;", std::wstring(1, L'\xFFFF')},
    {"leading_blank", L"&# 65;", L"A"},
    {"leading_tab", L"&#\t65;", L"A"},
    {"plus_sign", L"&#+65;", L"A"},
    {"digits_then_junk", L"&#65xyz;", L"A"},
    {"hex_form_reads_zero", L"&#x41;", L""},
    {"full_width_digits", L"&#\xFF16\xFF15;", L"A"},
    {"arabic_indic_digits_after_ascii", L"&#6\x0665;", L"A"},
    {"next_line_is_not_white_space", L"&#\x0085" L"65;", L""},
    {"no_digits", L"&#;", L""},
    {"zero", L"&#0;", L""},
    {"sign_without_digits", L"&#- 5;", L""},
    {"plain_text", L"plain", L"plain"},
};

TEST(xml_references, decode_table) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"t");
  for (const reference_row& row : reference_rows) {
    SCOPED_TRACE(row.name);
    node->set_text_decode(row.encoded);
    EXPECT_EQ(std::wstring(node->get_text()), row.decoded);
    node->set_attribute_decode(L"v", row.encoded);
    EXPECT_EQ(std::wstring(node->get_attribute_value(L"v")), row.decoded);
  }
}

TEST(xml_references, plain_setters_do_not_decode) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"t");
  node->set_text(L"&amp;");
  node->set_attribute(L"v", L"&lt;\r\n");
  EXPECT_STREQ(node->get_text(), L"&amp;");
  EXPECT_STREQ(node->get_attribute_value(L"v"), L"&lt;\r\n");
}

TEST(xml_references, decoding_attribute_through_node_keeps_line_breaks) {
  kv::xml_document doc;
  doc->create();
  KV_xml_node* node = doc->get_root()->add_child(L"t");
  node->set_attribute_decode(L"v", L"a\r\n&amp;");
  EXPECT_STREQ(node->get_attribute_value(L"v"), L"a\r\n&");
}

struct encoding_row {
  const char* name;
  const wchar_t* text;
  unsigned code_page;
};

const encoding_row encoding_rows[] = {
    {"utf8_declared", L"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>", 65001},
    {"utf8_any_case_after_blanks_and_comment", L" <!--c--> <?XML encoding='utf-8'?>", 65001},
    {"other_encoding", L"<?xml encoding=\"windows-1252\"?>", 0},
    {"no_encoding", L"<?xml version=\"1.0\"?>", 0},
    {"no_declaration", L"<a encoding=\"UTF-8\"/>", 0},
    {"declaration_not_first", L"<a/><?xml encoding=\"UTF-8\"?>", 0},
    {"closing_tag_first", L"</?xml encoding=\"UTF-8\">", 0},
    {"malformed_declaration", L"<?xml encoding=UTF-8?>", 0},
    {"only_text", L"no tags", 0},
    {"empty", L"", 0},
    {"utf8_with_blank", L"<?xml encoding=\"UTF-8 \"?>", 0},
};

TEST(xml_encoding, detect_table) {
  for (const encoding_row& row : encoding_rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(kvxml::detect_encoding(row.text), row.code_page);
  }
}

TEST(xml_parse, read_tag_name_after_optional_slash) {
  KVXML_string name;
  const wchar_t* text = L"</ <!--c--> ab cd>";
  const wchar_t* after = kvxml::read_tag_name(text, name);
  ASSERT_NE(after, nullptr);
  EXPECT_STREQ(name.text(), L"ab");
  EXPECT_STREQ(after, L"cd>");
  EXPECT_EQ(kvxml::read_tag_name(L"ab", name), nullptr);
  EXPECT_EQ(kvxml::read_tag_name(L"< ", name), nullptr);
}

TEST(xml_parse, skip_space_and_comments_stops_at_other_markup) {
  EXPECT_STREQ(kvxml::skip_space_and_comments(L" <!-- a --> \t<!---->x"), L"x");
  EXPECT_STREQ(kvxml::skip_space_and_comments(L"<!DOCTYPE>"), L"<!DOCTYPE>");
  EXPECT_STREQ(kvxml::skip_space_and_comments(L"<!-- open"), L"");
  EXPECT_STREQ(kvxml::skip_space_and_comments(L"\x3000\x2028y"), L"y");
}

// White space and numbers are what the runtime's iswspace and wcstol say they are. The program
// links msvcrt.dll, whose functions are asked here for every code unit. Under Wine its wcstol
// also reads the digits of other scripts and full-width ones, and its iswspace leaves out U+0085.
TEST(xml_runtime, white_space_and_reference_numbers_match_the_runtime_for_every_code_unit) {
  HMODULE runtime = GetModuleHandleW(L"msvcrt.dll");
  ASSERT_NE(runtime, nullptr);
  using iswspace_function = int(__cdecl*)(wint_t);
  using wcstol_function = long(__cdecl*)(const wchar_t*, wchar_t**, int);
  auto runtime_iswspace =
      reinterpret_cast<iswspace_function>(reinterpret_cast<void*>(GetProcAddress(runtime, "iswspace")));
  auto runtime_wcstol = reinterpret_cast<wcstol_function>(reinterpret_cast<void*>(GetProcAddress(runtime, "wcstol")));
  ASSERT_NE(runtime_iswspace, nullptr);
  ASSERT_NE(runtime_wcstol, nullptr);

  int mismatches = 0;
  for (unsigned u = 1; u <= 0xFFFF && mismatches < 10; ++u) {
    const wchar_t c = static_cast<wchar_t>(u);
    const bool space = runtime_iswspace(static_cast<wint_t>(u)) != 0;
    // Only white space may stand between an attribute and "/>".
    const std::wstring tag = std::wstring(L"<a x=\"1\"") + c + L"/>";
    bool same = (load(tag).result == 1) == space;
    // The reference's number with the unit first and between two digits.
    if (c != L';') {
      for (const std::wstring& number : {std::wstring{c, L'3'}, std::wstring{L'1', c, L'3'}}) {
        const auto value = static_cast<std::uint16_t>(runtime_wcstol(number.c_str(), nullptr, 10));
        KVXML_string text;
        text.assign((L"&#" + number + L";").c_str());
        kvxml::decode_references(text);
        same = same && std::wstring(text.text()) == (value ? std::wstring(1, static_cast<wchar_t>(value)) : L"");
      }
    }
    if (!same) {
      ++mismatches;
      ADD_FAILURE() << "code unit 0x" << std::hex << u << (space ? " (white space)" : "");
    }
  }
}

}  // namespace
