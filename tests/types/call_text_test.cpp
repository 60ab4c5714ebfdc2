#include "types/call_text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/beside_program.h"
#include "tests/support/hresult_assert.h"
#include "types/kv_alloc.h"
#include "win/call_text_bstr.h"
#include "win/owners.h"

namespace {

using units = std::vector<wchar_t>;

units encode(const units& plain) {
  units coded(kv::call_text_coded_length(plain.size()));
  kv::encode_call_text_units(plain.data(), plain.size(), coded.data());
  return coded;
}

units decode(const units& coded) {
  units plain(kv::call_text_plain_length(coded.size()));
  kv::decode_call_text_units(coded.data(), coded.size(), plain.data());
  return plain;
}

units sample_text(std::size_t length, std::uint32_t seed) {
  units text(length);
  for (auto& unit : text) {
    seed = seed * 1664525u + 1013904223u;
    unit = static_cast<wchar_t>(seed >> 16 | 1);  // never 0, so it also works as a C text
  }
  return text;
}

TEST(call_text_coding, lengths) {
  const struct {
    std::size_t plain;
    std::size_t coded;
  } rows[] = {{0, 0}, {1, 2}, {14, 15}, {15, 16}, {16, 18}, {30, 32}, {31, 34}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.plain);
    EXPECT_EQ(kv::call_text_coded_length(row.plain), row.coded);
    EXPECT_EQ(kv::call_text_plain_length(row.coded), row.plain);
  }
  constexpr std::size_t largest = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(kv::call_text_coded_length(largest), largest);
  EXPECT_EQ(kv::call_text_coded_length(largest / 16 * 15 + 15), largest);
  EXPECT_EQ(kv::call_text_plain_length(largest), largest / 16 * 15 + 14);
}

TEST(call_text_coding, every_coded_length_maps_back_and_keeps_carriers_inside) {
  for (std::size_t n = 0; n < 100000; ++n) {
    ASSERT_EQ(kv::call_text_plain_length(kv::call_text_coded_length(n)), n);
  }
  for (std::size_t m = 0; m < 100000; ++m) {
    const std::size_t n = kv::call_text_plain_length(m);
    ASSERT_LE(kv::call_text_coded_length(n), m) << m;
  }
}

TEST(call_text_coding, matches_known_coding) {
  EXPECT_EQ(encode({L'A'}), (units{0x986E, 0x4000}));
  const units plain = {0x003C, 0x0078, 0x006D, 0x006C, 0x003E, 0x8000, 0xFFFF, 0x0000,
                       0x00E4, 0x4E00, 0xD83D, 0xDE00, 0x7FFF, 0x0001, 0x0100, 0xABCD};
  const units coded = {0x656E, 0x5625, 0x8816, 0xBA48, 0xB67A, 0xBAF6, 0x4985, 0x4509, 0xAD85,
                       0x45A3, 0x5E5D, 0x9D40, 0x7F22, 0x63BF, 0x7F22, 0xAF14, 0x9780, 0x4001};
  EXPECT_EQ(encode(plain), coded);
  EXPECT_EQ(decode(coded), plain);
}

TEST(call_text_coding, round_trips_every_unit_inside_the_coded_range) {
  units all(0xFFFF);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<wchar_t>(i + 1);
  std::vector<units> texts = {all, units(100, 0xFFFF), units(100, 0x8000), units(100, 0)};
  for (std::size_t length = 1; length <= 40; ++length) texts.push_back(sample_text(length, 7 * length));
  for (const auto& plain : texts) {
    SCOPED_TRACE(plain.size());
    const units coded = encode(plain);
    for (wchar_t c : coded) ASSERT_TRUE(c >= 0x4000 && c <= 0xBFFF) << std::hex << unsigned(c);
    ASSERT_EQ(decode(coded), plain);
  }
}

TEST(call_text_coding, a_changed_unit_changes_all_later_data_characters) {
  const units plain = sample_text(40, 99);
  const units coded = encode(plain);
  for (wchar_t delta : {0x0001, 0x0101, 0xFFFF}) {
    for (std::size_t k = 0; k < plain.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "delta " << unsigned(delta) << " at " << k);
      units changed = plain;
      changed[k] ^= delta;
      const units recoded = encode(changed);
      for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(recoded[i] != coded[i], i >= k) << i;
    }
  }
}

// A top-bit-only change moves into the carrier every other unit.
TEST(call_text_coding, a_top_bit_change_alternates_between_data_and_carrier) {
  const units plain = sample_text(15, 5);
  units changed = plain;
  changed[0] ^= 0x8000;
  const units a = encode(plain);
  const units b = encode(changed);
  for (std::size_t i = 0; i < 15; ++i) EXPECT_EQ(a[i] != b[i], i % 2 == 0) << i;
  EXPECT_NE(a[15], b[15]);
}

// Coded text ends right at an inaccessible page, and so does the output: a read or write past
// either one faults.
TEST(call_text_coding, decode_stays_inside_any_text_length) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const std::size_t page = info.dwPageSize;
  auto* base = static_cast<unsigned char*>(VirtualAlloc(nullptr, 4 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(base, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(base + page, page, PAGE_NOACCESS, &old));
  ASSERT_TRUE(VirtualProtect(base + 3 * page, page, PAGE_NOACCESS, &old));
  auto* coded_end = reinterpret_cast<wchar_t*>(base + page);
  auto* plain_end = reinterpret_cast<wchar_t*>(base + 3 * page);
  for (std::size_t m = 0; m <= 600; ++m) {
    wchar_t* coded = coded_end - m;
    for (std::size_t i = 0; i < m; ++i) coded[i] = static_cast<wchar_t>(0x3000 + 97 * i);
    kv::decode_call_text_units(coded, m, plain_end - kv::call_text_plain_length(m));
  }
  const units text = sample_text(600, 3);
  for (std::size_t n = 0; n <= 600; ++n) {
    kv::encode_call_text_units(text.data(), n, plain_end - kv::call_text_coded_length(n));
  }
  VirtualFree(base, 0, MEM_RELEASE);
}

TEST(call_text_bstr, results_count_one_unit_more_than_their_text) {
  const units text = sample_text(31, 11);
  const std::wstring plain(text.begin(), text.end());
  kv::unique_bstr coded;
  ASSERT_HR(S_OK, encode_call_text(plain.c_str(), coded.put()));
  ASSERT_EQ(SysStringLen(coded.get()), 35u);
  EXPECT_EQ(coded.get()[34], 0);
  EXPECT_EQ(units(coded.get(), coded.get() + 34), encode(text));

  kv::unique_bstr decoded;
  ASSERT_HR(S_OK, decode_call_text(coded.get(), decoded.put()));
  ASSERT_EQ(SysStringLen(decoded.get()), 32u);
  EXPECT_EQ(decoded.get()[31], 0);
  EXPECT_EQ(units(decoded.get(), decoded.get() + 31), text);

  ASSERT_HR(S_OK, encode_call_text(L"", coded.put()));
  EXPECT_EQ(SysStringLen(coded.get()), 1u);
  EXPECT_EQ(coded.get()[0], 0);
  ASSERT_HR(S_OK, decode_call_text(L"", decoded.put()));
  EXPECT_EQ(SysStringLen(decoded.get()), 1u);
}

TEST(call_text_bstr, null_arguments_are_invalid) {
  BSTR out = reinterpret_cast<BSTR>(&out);
  EXPECT_HR(E_INVALIDARG, encode_call_text(nullptr, &out));
  EXPECT_EQ(out, nullptr);
  out = reinterpret_cast<BSTR>(&out);
  EXPECT_HR(E_INVALIDARG, decode_call_text(nullptr, &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_HR(E_INVALIDARG, encode_call_text(L"x", nullptr));
  EXPECT_HR(E_INVALIDARG, decode_call_text(L"\x4000\x4000", nullptr));
}

TEST(call_text_bstr, allocation_failure_answers_out_of_memory_with_null) {
  for (auto call : {&encode_call_text, &decode_call_text}) {
    BSTR out = reinterpret_cast<BSTR>(&out);
    kv::alloc_probe::fail_after(0);
    const HRESULT hr = call(L"\x4001\x4002", &out);
    kv::alloc_probe::disarm();
    EXPECT_HR(E_OUTOFMEMORY, hr);
    EXPECT_EQ(out, nullptr);
  }
}

// One row of the test vectors table in docs/protocol.md (the build copies it beside the program).
struct documented_vector {
  std::string line;
  std::string shown;  // the plain text as the reader sees it, UTF-8
  units plain;
  units coded;
  unsigned long bstr_length = 0;
};

units hex_units(const std::string& cell) {
  units parsed;
  std::istringstream words(cell);
  std::string word;
  while (words >> word) {
    if (word != "\xE2\x80\x94") parsed.push_back(static_cast<wchar_t>(std::stoul(word, nullptr, 16)));  // "—": none
  }
  return parsed;
}

std::string file_bytes(const std::wstring& path) {
  kv::unique_file file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string bytes(file ? GetFileSize(file.get(), nullptr) : 0, '\0');
  DWORD got = 0;
  if (!bytes.empty()) ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  bytes.resize(got);
  return bytes;
}

std::vector<documented_vector> documented_vectors() {
  std::istringstream file(file_bytes(kv::test::beside_program(L"protocol.md")));
  std::vector<documented_vector> rows;
  bool in_table = false;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("| Plain text | Plain code units | Coded code units | Coded BSTR length |", 0) == 0) {
      in_table = true;
      std::getline(file, line);  // the rule under the header
      continue;
    }
    if (!in_table) continue;
    if (line.empty() || line[0] != '|') break;
    std::vector<std::string> cells;
    for (std::size_t start = 1, end; (end = line.find(" |", start)) != std::string::npos; start = end + 2) {
      cells.push_back(line.substr(start + 1, end - start - 1));
    }
    if (cells.size() != 4) {
      ADD_FAILURE() << "not a vector row: " << line;
      continue;
    }
    const std::string& shown = cells[0];
    rows.push_back({line, shown.size() > 1 && shown.front() == '`' ? shown.substr(1, shown.size() - 2) : "",
                    hex_units(cells[1]), hex_units(cells[2]), std::stoul(cells[3])});
  }
  return rows;
}

TEST(call_text_bstr, documented_vectors_match_the_coding) {
  const std::vector<documented_vector> rows = documented_vectors();
  ASSERT_GE(rows.size(), 5u) << "the vectors table of protocol.md was not found";
  for (const documented_vector& row : rows) {
    SCOPED_TRACE(row.line);
    // The shown text is the plain units, so the reader's column cannot drift either.
    const int wide = MultiByteToWideChar(CP_UTF8, 0, row.shown.data(), static_cast<int>(row.shown.size()), nullptr, 0);
    units shown(static_cast<std::size_t>(wide));
    MultiByteToWideChar(CP_UTF8, 0, row.shown.data(), static_cast<int>(row.shown.size()), shown.data(), wide);
    EXPECT_EQ(shown, row.plain);

    const std::wstring plain(row.plain.begin(), row.plain.end());
    kv::unique_bstr coded;
    ASSERT_HR(S_OK, encode_call_text(plain.c_str(), coded.put()));
    EXPECT_EQ(units(coded.get(), coded.get() + row.coded.size()), row.coded);
    EXPECT_EQ(SysStringLen(coded.get()), row.bstr_length);
    EXPECT_EQ(row.bstr_length, row.coded.size() + 1);

    const std::wstring coded_text(row.coded.begin(), row.coded.end());
    kv::unique_bstr decoded;
    ASSERT_HR(S_OK, decode_call_text(coded_text.c_str(), decoded.put()));
    EXPECT_EQ(std::wstring(decoded.get()), plain);
  }
}

}  // namespace
