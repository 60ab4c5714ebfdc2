// dodadev-call's request building: escaping, parameters, certificates, secrets, and the texts it
// shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "client/call_request.h"
#include "types/kv_alloc.h"
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
  const wchar_t* expected_value;  // the value, the serial number of a certificate, or its file
  const wchar_t* expected_issuer;  // null for a value; empty for a certificate file
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
      {"certificate file", L"certificate=@C:\\certs\\me.pem", false, true, L"certificate", L"C:\\certs\\me.pem",
       L""},
      {"certificate file under another name", L"cert2=@me.der", true, true, L"cert2", L"me.der", L""},
      {"certificate file without a name", L"new_certificate=@", false, false, nullptr, nullptr, nullptr},
      {"@ in any other value is sent as it stands", L"password=@home", false, true, L"password", L"@home",
       nullptr},
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
    if (row.expected_issuer && !*row.expected_issuer) {
      EXPECT_TRUE(parameter.certificate);
      EXPECT_EQ(plain(parameter.certificate_file), row.expected_value);
      EXPECT_TRUE(parameter.serial_number.empty());
    } else if (row.expected_issuer) {
      EXPECT_TRUE(parameter.certificate);
      EXPECT_TRUE(parameter.certificate_file.empty());
      EXPECT_EQ(plain(parameter.serial_number), row.expected_value);
      EXPECT_EQ(plain(parameter.issuer), row.expected_issuer);
    } else {
      EXPECT_FALSE(parameter.certificate);
      EXPECT_EQ(plain(parameter.value.get()), row.expected_value);
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

// What a freed block held, seen by the allocator's observer before the block goes.
std::string secret_seen_freed;
int blocks_freed_holding_secret = 0;
void look_for_secret(const void* block, std::size_t bytes) {
  const char* begin = static_cast<const char*>(block);
  blocks_freed_holding_secret +=
      std::search(begin, begin + bytes, secret_seen_freed.begin(), secret_seen_freed.end()) != begin + bytes;
}

TEST(client_request, client_shows_secrets_masked_and_frees_no_copy_of_them_unwiped) {
  const wchar_t secret[] = L"Sec&ret-That-Needs-The-Heap-1";
  secret_seen_freed.assign(reinterpret_cast<const char*>(L"ret-That-Needs"), std::wcslen(L"ret-That-Needs") * 2);
  blocks_freed_holding_secret = 0;
  kv::alloc_probe::observe_frees(look_for_secret);
  {
    request_parameter parameters[2];
    const wchar_t* problem = nullptr;
    ASSERT_TRUE(kv::client::parse_parameter(L"drive=C:\\", false, parameters[0], &problem));
    parameters[1].name = L"password";
    parameters[1].secret = true;
    parameters[1].value.get() = secret;
    const text sent = kv::client::build_request(L"keystore_create_pwd", parameters, 2);
    const text shown =
        kv::client::build_request(L"keystore_create_pwd", parameters, 2, kv::client::request_view::shown);
    EXPECT_NE(plain(sent).find(L"<parameter name=\"password\">Sec&amp;ret-That-Needs-The-Heap-1</parameter>"),
              std::wstring::npos);
    EXPECT_NE(plain(shown).find(L"<parameter name=\"password\">********</parameter>"), std::wstring::npos);
    EXPECT_EQ(plain(shown).find(L"ret-That"), std::wstring::npos);
    // Moved on, as the command line's parameters are, and built again into a growing request.
    request_parameter moved = std::move(parameters[1]);
    EXPECT_TRUE(parameters[1].value.get().empty());
    text grown;
    for (int i = 0; i < 20; ++i) grown += kv::client::build_request(L"f", &moved, 1);
  }
  kv::alloc_probe::observe_frees(nullptr);
  EXPECT_EQ(blocks_freed_holding_secret, 0);
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
