// dodadev-call's request building: escaping, parameters, certificates, and the texts it shows.
#include <gtest/gtest.h>

#include <string>

#include "client/call_request.h"
#include "xml/kv_xml.h"

namespace {

using kv::client::request_parameter;
using kv::client::text;

std::wstring plain(const text& value) { return std::wstring(value.c_str()); }

TEST(client_request, client_escapes_the_five_special_characters) {
  EXPECT_EQ(plain(kv::client::escape_xml(L"a<b & \"c\" 'd'>")), L"a&lt;b &amp; &quot;c&quot; &#39;d&#39;&gt;");
  EXPECT_EQ(plain(kv::client::escape_xml(L"C:\\keys\t\x00e9")), L"C:\\keys\t\x00e9");
  EXPECT_EQ(plain(kv::client::escape_xml(nullptr)), L"");
}

struct parameter_row {
  const char* name;
  const wchar_t* argument;
  bool as_certificate;
  bool accepted;
  const wchar_t* expected_name;
  const wchar_t* expected_value;  // the value, or the serial number of a certificate
  const wchar_t* expected_issuer;
};

TEST(client_request, client_parameter_table) {
  const parameter_row rows[] = {
      {"plain", L"drive=C:\\", false, true, L"drive", L"C:\\", nullptr},
      {"first equals splits", L"password=a=b", false, true, L"password", L"a=b", nullptr},
      {"empty value", L"name=", false, true, L"name", L"", nullptr},
      {"no equals", L"drive", false, false, nullptr, nullptr, nullptr},
      {"no name", L"=x", false, false, nullptr, nullptr, nullptr},
      {"certificate by name", L"certificate=serial:AQID,issuer:MAA=", false, true, L"certificate", L"AQID", L"MAA="},
      {"new certificate by name", L"new_certificate=serial:AQ==,issuer:MAA=", false, true, L"new_certificate",
       L"AQ==", L"MAA="},
      {"certificate under another name", L"cert2=serial:AQID,issuer:MAA=", true, true, L"cert2", L"AQID", L"MAA="},
      {"certificate without issuer", L"certificate=serial:AQID", false, false, nullptr, nullptr, nullptr},
      {"certificate not Base64", L"certificate=serial:A*ID,issuer:MAA=", false, false, nullptr, nullptr, nullptr},
      {"certificate Base64 of wrong length", L"certificate=serial:AQI,issuer:MAA=", false, false, nullptr, nullptr,
       nullptr},
      {"certificate with empty serial", L"certificate=serial:,issuer:MAA=", false, false, nullptr, nullptr, nullptr},
      {"padding inside", L"certificate=serial:A=ID,issuer:MAA=", false, false, nullptr, nullptr, nullptr},
  };
  for (const parameter_row& row : rows) {
    SCOPED_TRACE(row.name);
    request_parameter parameter;
    const wchar_t* problem = nullptr;
    const bool accepted = kv::client::parse_parameter(row.argument, row.as_certificate, parameter, &problem);
    EXPECT_EQ(accepted, row.accepted);
    if (!row.accepted) {
      EXPECT_NE(problem, nullptr);
      continue;
    }
    EXPECT_EQ(plain(parameter.name), row.expected_name);
    if (row.expected_issuer) {
      EXPECT_TRUE(parameter.certificate);
      EXPECT_EQ(plain(parameter.serial_number), row.expected_value);
      EXPECT_EQ(plain(parameter.issuer), row.expected_issuer);
    } else {
      EXPECT_FALSE(parameter.certificate);
      EXPECT_EQ(plain(parameter.value), row.expected_value);
    }
  }
}

TEST(client_request, client_request_reads_back_through_the_servers_parser) {
  request_parameter parameters[2];
  const wchar_t* problem = nullptr;
  ASSERT_TRUE(kv::client::parse_parameter(L"pass\"word=<a & 'b'>", false, parameters[0], &problem));
  ASSERT_TRUE(kv::client::parse_parameter(L"certificate=serial:AQID,issuer:MA+/", false, parameters[1], &problem));
  const text request = kv::client::build_request(L"keystore_<x>", parameters, 2);
  EXPECT_EQ(plain(request),
            L"<?xml version=\"1.0\"?><function name=\"keystore_&lt;x&gt;\"><parameter name=\"pass&quot;word\">"
            L"&lt;a &amp; &#39;b&#39;&gt;</parameter><parameter name=\"certificate\"><certificate "
            L"serial_number=\"AQID\" issuer=\"MA+/\"/></parameter></function>");

  KV_xml_doc* document = make_xml_doc();
  ASSERT_NE(document, nullptr);
  ASSERT_NE(document->load_from_string(request.c_str()), 0);
  KV_xml_node* function = document->get_root()->get_child(0, L"function");
  ASSERT_NE(function, nullptr);
  EXPECT_STREQ(function->get_attribute_value(L"name"), L"keystore_<x>");
  KV_xml_node* first = function->get_child(0, L"parameter");
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->get_attribute_value(L"name"), L"pass\"word");
  EXPECT_STREQ(first->get_text(), L"<a & 'b'>");
  KV_xml_node* certificate = function->get_child(1, L"parameter")->get_child(0, L"certificate");
  ASSERT_NE(certificate, nullptr);
  EXPECT_STREQ(certificate->get_attribute_value(L"serial_number"), L"AQID");
  EXPECT_STREQ(certificate->get_attribute_value(L"issuer"), L"MA+/");
  document->release();
}

TEST(client_request, client_describes_result_codes_for_people) {
  const std::wstring invalid = plain(kv::client::describe_result(E_INVALIDARG));
  EXPECT_EQ(invalid.substr(0, 11), L"0x80070057 ");
  EXPECT_GT(invalid.size(), 11u);
  EXPECT_NE(invalid.back(), L'\n');
  EXPECT_EQ(plain(kv::client::describe_result(S_FALSE)), L"0x00000001 S_FALSE");
  EXPECT_EQ(plain(kv::client::describe_result(7)), L"0x00000007");
  EXPECT_EQ(plain(kv::client::describe_result(static_cast<HRESULT>(0xA0001234))), L"0xa0001234");
  EXPECT_EQ(plain(kv::client::describe_result(REGDB_E_CLASSNOTREG)), L"0x80040154 Class not registered");
  EXPECT_NE(kv::client::activation_advice(REGDB_E_CLASSNOTREG), nullptr);
  EXPECT_NE(kv::client::activation_advice(CO_E_SERVER_EXEC_FAILURE), nullptr);
  EXPECT_EQ(kv::client::activation_advice(E_FAIL), nullptr);
}

}  // namespace
