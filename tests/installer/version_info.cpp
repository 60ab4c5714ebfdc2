// Prints the version resource of each file named on the command line as Windows itself reads it
// (GetFileVersionInfoW and VerQueryValueW, what a file's Properties page shows), for
// tests/installer/signature_test.sh:
//   kv_version_info FILE...
// For each file a line "file=FILE", then "name=value" lines: FixedFileVersion and
// FixedProductVersion (the numbers of VS_FIXEDFILEINFO), FixedFileType (app, dll or a number),
// Translation (language and code page, 8 hex digits) and each StringFileInfo value of that
// translation. A file without a version resource gets "error=..." and exit code 1 at the end.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void put(const wchar_t* name, const std::wstring& value) {
  std::wstring line = std::wstring(name) + L"=" + value + L"\n";
  int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), text.data(), size, nullptr, nullptr);
  std::fputs(text.c_str(), stdout);
}

std::wstring four(DWORD high, DWORD low) {
  wchar_t text[64];
  swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
  return text;
}

bool show(const wchar_t* file) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  if (size == 0) {
    put(L"error", L"no version resource (GetFileVersionInfoSizeW failed, error " + std::to_wstring(GetLastError()) + L")");
    return false;
  }
  std::vector<unsigned char> block(size);
  if (!GetFileVersionInfoW(file, 0, size, block.data())) {
    put(L"error", L"GetFileVersionInfoW failed, error " + std::to_wstring(GetLastError()));
    return false;
  }
  void* data = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", &data, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    put(L"error", L"no VS_FIXEDFILEINFO");
    return false;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(data);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) {
    put(L"error", L"VS_FIXEDFILEINFO has a wrong signature");
    return false;
  }
  put(L"FixedFileVersion", four(fixed->dwFileVersionMS, fixed->dwFileVersionLS));
  put(L"FixedProductVersion", four(fixed->dwProductVersionMS, fixed->dwProductVersionLS));
  put(L"FixedFileType", fixed->dwFileType == VFT_APP ? L"app"
                        : fixed->dwFileType == VFT_DLL ? L"dll" : std::to_wstring(fixed->dwFileType));

  // The strings of the first translation, as Windows' Properties page takes them.
  if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &data, &length) || length < 4) {
    put(L"error", L"no VarFileInfo\\Translation");
    return false;
  }
  const auto* translation = static_cast<const WORD*>(data);
  wchar_t key[16];
  swprintf(key, 16, L"%04X%04X", translation[0], translation[1]);
  put(L"Translation", key);
  for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName", L"LegalCopyright",
                              L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\") + key + L"\\" + name;
    if (VerQueryValueW(block.data(), path.c_str(), &data, &length) && length > 0) {
      put(name, static_cast<const wchar_t*>(data));
    }
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool all = true;
  for (int i = 1; i < argc; ++i) {
    put(L"file", argv[i]);
    all = show(argv[i]) && all;
  }
  std::fflush(stdout);
  return all ? 0 : 1;
}
