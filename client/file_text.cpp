#include "client/file_text.h"

namespace kv::client {

HRESULT read_file_bytes(const wchar_t* path, std::size_t limit, file_bytes& bytes) {
  bytes = {};
  kv::unique_file file(
      CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return HRESULT_FROM_WIN32(GetLastError());
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size)) return HRESULT_FROM_WIN32(GetLastError());
  if (static_cast<unsigned long long>(size.QuadPart) > limit) return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
  if (size.QuadPart == 0) return S_OK;
  kv::wiped_mem block(static_cast<std::size_t>(size.QuadPart));
  if (!block) return E_OUTOFMEMORY;
  DWORD got = 0;
  if (!ReadFile(file.get(), block.get(), static_cast<DWORD>(size.QuadPart), &got, nullptr)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  bytes.block = std::move(block);
  bytes.size = got;
  return S_OK;
}

void append_text_of(const unsigned char* data, std::size_t size, text& out) {
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    for (std::size_t i = 2; i + 1 < size; i += 2) out += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    return;
  }
  const std::size_t skip = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  const char* narrow = reinterpret_cast<const char*>(data + skip);
  const int narrow_size = static_cast<int>(size - skip);
  if (narrow_size <= 0) return;
  UINT code_page = CP_UTF8;
  int units = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, narrow, narrow_size, nullptr, 0);
  if (units <= 0) {
    code_page = CP_ACP;
    units = MultiByteToWideChar(code_page, 0, narrow, narrow_size, nullptr, 0);
  }
  if (units <= 0) return;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(units));
  MultiByteToWideChar(code_page, 0, narrow, narrow_size, out.data() + start, units);
}

}  // namespace kv::client
