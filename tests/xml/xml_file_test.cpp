// Documents in files, in a private temporary folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "win/owners.h"
#include "xml_test_support.h"

namespace {

using xml_test::dump;
using xml_test::saved;

class temp_folder {
 public:
  temp_folder() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + L"kv_xml_test_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~temp_folder() {
    for (const std::wstring& file : files_) DeleteFileW(file.c_str());
    RemoveDirectoryW(path_.c_str());
  }
  std::wstring file(const wchar_t* name) {
    files_.push_back(path_ + L"\\" + name);
    return files_.back();
  }

 private:
  std::wstring path_;
  std::vector<std::wstring> files_;
};

void write_bytes(const std::wstring& path, const std::string& bytes) {
  const kv::unique_file file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
  DWORD written = 0;
  if (!bytes.empty()) WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ASSERT_EQ(written, bytes.size());
}

std::string read_bytes(const std::wstring& path) {
  const kv::unique_file file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return "<missing>";
  std::string bytes(GetFileSize(file.get(), nullptr), '\0');
  DWORD read = 0;
  if (!bytes.empty()) ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  bytes.resize(read);
  return bytes;
}

std::string utf16le(const std::wstring& text, bool mark) {
  std::string bytes = mark ? std::string("\xFF\xFE", 2) : std::string();
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::wstring ansi_to_wide(const std::string& bytes) {
  std::wstring out(bytes.size(), L'\0');
  int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(),
                                  static_cast<int>(out.size()));
  out.resize(static_cast<std::size_t>(units));
  return out;
}

std::wstring loaded_text_of_a(const std::wstring& path, int& result) {
  kv::xml_document doc;
  result = doc->load_from_file(path.c_str());
  KV_xml_node* a = doc->get_root() ? doc->get_root()->find_descendant(L"a") : nullptr;
  return a ? a->get_text() : L"<no a>";
}

TEST(xml_file, utf16_file_with_mark) {
  temp_folder folder;
  std::wstring path = folder.file(L"utf16.xml");
  write_bytes(path, utf16le(L"<?xml version=\"1.0\"?><a x=\"\x00E9\">\x4E2D&amp;</a>", true));
  kv::xml_document doc;
  EXPECT_EQ(doc->load_from_file(path.c_str()), 1);
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0](a[x=\x00E9]\"\x4E2D&\")");
}

TEST(xml_file, utf16_file_with_odd_byte_count) {
  temp_folder folder;
  std::wstring path = folder.file(L"odd.xml");
  write_bytes(path, utf16le(L"<a>t</a>", true) + "\x41");
  int result = 0;
  EXPECT_EQ(loaded_text_of_a(path, result), L"t");
  EXPECT_EQ(result, 1);
}

TEST(xml_file, byte_file_declared_utf8) {
  temp_folder folder;
  std::wstring path = folder.file(L"utf8.xml");
  write_bytes(path, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<a>caf\xC3\xA9 \xE4\xB8\xAD</a>");
  int result = 0;
  EXPECT_EQ(loaded_text_of_a(path, result), L"caf\x00E9 \x4E2D");
  EXPECT_EQ(result, 1);
}

TEST(xml_file, byte_file_without_declaration_reads_in_ansi_code_page) {
  temp_folder folder;
  std::wstring path = folder.file(L"ansi.xml");
  const std::string text = "caf\xC3\xA9";
  write_bytes(path, "<a>" + text + "</a>");
  int result = 0;
  EXPECT_EQ(loaded_text_of_a(path, result), ansi_to_wide(text));
  EXPECT_EQ(result, 1);
  // Another declared encoding reads as ANSI too.
  write_bytes(path, "<?xml encoding=\"latin1\"?><a>" + text + "</a>");
  EXPECT_EQ(loaded_text_of_a(path, result), ansi_to_wide(text));
}

TEST(xml_file, empty_and_missing_files_fail_and_keep_document) {
  temp_folder folder;
  std::wstring empty = folder.file(L"empty.xml");
  write_bytes(empty, "");
  auto loaded = xml_test::load(L"<keep/>");
  EXPECT_EQ(loaded.doc->load_from_file(empty.c_str()), 0);
  EXPECT_EQ(loaded.doc->load_from_file(folder.file(L"missing.xml").c_str()), 0);
  EXPECT_EQ(loaded.doc->load_from_file(nullptr), 0);
  EXPECT_EQ(loaded.doc->load_from_handle(INVALID_HANDLE_VALUE), 0);
  EXPECT_EQ(dump(loaded.doc.get()), L"?xml[version=1.0](keep)");
}

TEST(xml_file, malformed_file_loads_partial_tree) {
  temp_folder folder;
  std::wstring path = folder.file(L"bad.xml");
  write_bytes(path, "<a/><b>");
  kv::xml_document doc;
  EXPECT_EQ(doc->load_from_file(path.c_str()), 0);
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0](a)");
}

TEST(xml_file, save_without_root_fails_and_creates_nothing) {
  temp_folder folder;
  std::wstring path = folder.file(L"none.xml");
  kv::xml_document doc;
  EXPECT_EQ(doc->save_to_file(path.c_str()), 0);
  EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
  doc->create();
  EXPECT_EQ(doc->save_to_handle(INVALID_HANDLE_VALUE), 0);
}

TEST(xml_file, save_writes_utf16le_with_mark_and_loads_back) {
  temp_folder folder;
  std::wstring path = folder.file(L"saved.xml");
  kv::xml_document doc;
  doc->create();
  KV_xml_node* value = doc->get_root()->add_child(L"value");
  value->set_text(L"5 & \x00E9");
  value->set_attribute(L"k", L"\"q\"");
  EXPECT_EQ(doc->save_to_file(path.c_str()), 1);
  EXPECT_EQ(read_bytes(path), utf16le(saved(doc.get()), true));

  write_bytes(path, std::string(1000, 'x'));  // a longer old file is replaced, not overwritten in part
  EXPECT_EQ(doc->save_to_file(path.c_str()), 1);
  EXPECT_EQ(read_bytes(path), utf16le(saved(doc.get()), true));

  kv::xml_document back;
  EXPECT_EQ(back->load_from_file(path.c_str()), 1);
  EXPECT_EQ(saved(back.get()), saved(doc.get()));
}

TEST(xml_file, handles_read_from_start_and_write_at_position) {
  temp_folder folder;
  std::wstring path = folder.file(L"handle.xml");
  write_bytes(path, utf16le(L"<a>h</a>", true));
  kv::unique_file file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_NE(file.get(), INVALID_HANDLE_VALUE);
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  kv::xml_document doc;
  EXPECT_EQ(doc->load_from_handle(file.get()), 1);
  EXPECT_EQ(dump(doc.get()), L"?xml[version=1.0](a\"h\")");

  SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file.get());
  DWORD written = 0;
  WriteFile(file.get(), "XY", 2, &written, nullptr);
  EXPECT_EQ(doc->save_to_handle(file.get()), 1);
  file.reset();  // unshared: closed before it is read back
  EXPECT_EQ(read_bytes(path), "XY" + utf16le(saved(doc.get()), true));
}

}  // namespace
