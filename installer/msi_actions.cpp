// dodadev-msi-actions.dll: the package's custom actions that need more than a command line.
//
// SetHelpFolder (immediate): DODADEV_HELPDIR = INSTALLDIR without its trailing "\". The package
// writes it as the type library's HELPDIR, where RegisterTypeLib writes the library's folder in
// that form; every folder property of the installer ends in "\", and its formatting cannot cut
// one off.
//
// StopServers (deferred, not impersonated), CustomActionData "SECONDS;FULL PATH OF DoDadev.exe":
// ends the servers started from that DoDadev.exe (installer/server_stopper.h) and writes each
// step into the install log. ERROR_INSTALL_FAILURE when one still runs after SECONDS, which
// fails the install or removal and rolls it back, or when the data is anything else. Servers in
// other logon sessions are asked by the dodadev-stop-servers.exe beside that DoDadev.exe, started
// in their session: the installer runs this DLL from a temporary copy, not as a program.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <new>
#include <string>
#include <utility>

#include "installer/msi_handle.h"
#include "installer/server_stopper.h"

namespace {

using kv::installer::describe_error;

// Each line goes into the install log as an informational message.
class install_log final : public kv::installer::stop_report {
 public:
  explicit install_log(MSIHANDLE install) noexcept : install_(install) {}

  void line(const std::wstring& text) noexcept override { line(text.c_str()); }

  void line(const wchar_t* text) noexcept {
    kv::installer::unique_msihandle record(MsiCreateRecord(1));
    if (!record) return;
    // Field 0 is a template that the installer formats; the text goes in as field 1, which it
    // does not, so brackets in a path are never read as property names.
    if (MsiRecordSetStringW(record.get(), 0, L"StopServers: [1]") != ERROR_SUCCESS ||
        MsiRecordSetStringW(record.get(), 1, text) != ERROR_SUCCESS) {
      return;
    }
    MsiProcessMessage(install_, INSTALLMESSAGE_INFO, record.get());
  }

 private:
  const MSIHANDLE install_;
};

UINT read_property(MSIHANDLE install, const wchar_t* name, std::wstring& value) {
  wchar_t empty[1] = L"";
  DWORD size = 0;
  UINT result = MsiGetPropertyW(install, name, empty, &size);
  if (result == ERROR_SUCCESS) {
    value.clear();
    return result;
  }
  if (result != ERROR_MORE_DATA) return result;
  std::wstring buffer(size + 1, L'\0');
  size = static_cast<DWORD>(buffer.size());
  result = MsiGetPropertyW(install, name, buffer.data(), &size);
  if (result != ERROR_SUCCESS) return result;
  buffer.resize(size);
  value = std::move(buffer);
  return ERROR_SUCCESS;
}

UINT stop_servers(MSIHANDLE install, install_log& log) {
  std::wstring data;
  const UINT read = read_property(install, L"CustomActionData", data);
  if (read != ERROR_SUCCESS) {
    log.line(L"cannot read CustomActionData: MsiGetPropertyW failed: " + describe_error(read));
    return ERROR_INSTALL_FAILURE;
  }
  kv::installer::stop_request request;
  std::wstring problem;
  if (!kv::installer::parse_action_data(data, request, problem)) {
    log.line(L"refused CustomActionData \"" + data + L"\": " + problem +
             L"; it must be SECONDS;FULL PATH OF DoDadev.exe, SECONDS from 1 to 3600");
    return ERROR_INSTALL_FAILURE;
  }
  if (kv::installer::stop_servers(request, log) == kv::installer::stop_result::all_ended) return ERROR_SUCCESS;
  log.line(L"failing: the files of a running server cannot be replaced or removed; run the installer again "
           L"when its calls are done");
  return ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" UINT WINAPI SetHelpFolder(MSIHANDLE install) {
  try {
    std::wstring folder;
    if (read_property(install, L"INSTALLDIR", folder) != ERROR_SUCCESS) return ERROR_INSTALL_FAILURE;
    // "C:\" stays as it is: a drive's root keeps its "\".
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    return MsiSetPropertyW(install, L"DODADEV_HELPDIR", folder.c_str()) == ERROR_SUCCESS ? ERROR_SUCCESS
                                                                                          : ERROR_INSTALL_FAILURE;
  } catch (...) {
    return ERROR_INSTALL_FAILURE;
  }
}

extern "C" UINT WINAPI StopServers(MSIHANDLE install) {
  install_log log(install);
  try {
    return stop_servers(install, log);
  } catch (const std::bad_alloc&) {
    log.line(L"failing: out of memory");
  } catch (...) {
    log.line(L"failing: unexpected error");
  }
  return ERROR_INSTALL_FAILURE;
}
