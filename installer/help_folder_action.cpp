// SetHelpFolder (immediate): DODADEV_HELPDIR = INSTALLDIR without its trailing "\". The package
// writes it as the type library's HELPDIR, where RegisterTypeLib writes the library's folder in
// that form; every folder property of the installer ends in "\", and its formatting cannot cut
// one off.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

extern "C" UINT WINAPI SetHelpFolder(MSIHANDLE install) {
  try {
    std::wstring folder(MAX_PATH, L'\0');
    DWORD size = static_cast<DWORD>(folder.size());
    UINT result = MsiGetPropertyW(install, L"INSTALLDIR", folder.data(), &size);
    if (result == ERROR_MORE_DATA) {
      folder.resize(++size);
      result = MsiGetPropertyW(install, L"INSTALLDIR", folder.data(), &size);
    }
    if (result != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
    folder.resize(size);
    // "C:\" stays as it is: a drive's root keeps its "\".
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    return MsiSetPropertyW(install, L"DODADEV_HELPDIR", folder.c_str()) == ERROR_SUCCESS ? ERROR_SUCCESS
                                                                                          : ERROR_INSTALL_FAILURE;
  } catch (...) {
    return ERROR_INSTALL_FAILURE;
  }
}
