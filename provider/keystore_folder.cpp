#include "provider/keystore_folder.h"

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "provider/keystore_files.h"
#include "win/kv_hresult.h"
#include "win/owners.h"

namespace kv::provider {

namespace {

// Rights over a folder that let an account put, replace or remove what it holds, or take it over.
constexpr ACCESS_MASK change_rights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The user of the calling thread (impersonated) or process.
HRESULT current_user(std::vector<BYTE>& user) {
  kv::unique_handle token;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) &&
      !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
    return HRESULT_FROM_WIN32(GetLastError());
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  user.resize(size ? size : 1);
  if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

PSID user_sid(std::vector<BYTE>& user) noexcept { return reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid; }

bool is_well_known(PSID sid, WELL_KNOWN_SID_TYPE type) noexcept { return IsWellKnownSid(sid, type) != FALSE; }

// The user, SYSTEM, Administrators, and the placeholders that stand for a file's own owner.
bool is_trusted(PSID sid, PSID user) noexcept {
  return EqualSid(sid, user) || is_well_known(sid, WinLocalSystemSid) || is_well_known(sid, WinBuiltinAdministratorsSid) ||
         is_well_known(sid, WinCreatorOwnerSid) || is_well_known(sid, WinCreatorOwnerRightsSid);
}

}  // namespace

bool others_can_change(PSID owner, const ACL* dacl, PSID user) noexcept {
  if (!owner || !IsValidSid(owner) || !is_trusted(owner, user)) return true;
  if (!dacl) return true;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &entry)) return true;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || header->AceType == SYSTEM_AUDIT_ACE_TYPE) continue;
    // Inherit-only entries count too: they grant their rights over the files made inside.
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return true;  // any other grant: not understood, not trusted
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if ((allowed->Mask & change_rights) && !is_trusted(sid, user)) return true;
  }
  return false;
}

// Not GetFileInformationByHandle: its volume serial number costs a call to another process on Wine.
bool is_link_or_alias(HANDLE file) noexcept {
  FILE_BASIC_INFO basic;
  FILE_STANDARD_INFO standard;
  return !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
         !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
         (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || (!standard.Directory && standard.NumberOfLinks > 1);
}

HRESULT check_private_folder(const KV_path& folder, kv::unique_file* hold, folder_facts* known) noexcept {
  const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (hold ? 0 : FILE_SHARE_DELETE);
  kv::unique_file handle(CreateFileW(os_path(folder.text()).get(), READ_CONTROL | FILE_READ_ATTRIBUTES, sharing,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
  if (!handle) return HRESULT_FROM_WIN32(GetLastError());
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &info, sizeof info))
    return HRESULT_FROM_WIN32(GetLastError());
  if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return E_ACCESSDENIED;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  unique_local descriptor;
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD status = GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       &owner, nullptr, &dacl, nullptr, &raw);
  descriptor.reset(raw);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  try {
    folder_facts local;
    folder_facts& facts = known ? *known : local;
    if (facts.user.empty()) {
      const HRESULT hr = current_user(facts.user);
      if (FAILED(hr)) {
        facts.user.clear();
        return hr;
      }
    }
    if (others_can_change(owner, dacl, user_sid(facts.user))) {
      // A volume without access lists answers with a made-up open one: there is nothing to check.
      // (Asked only now: on Wine the question goes to another process.)
      if (facts.keeps_lists < 0) {
        DWORD volume_flags = 0;
        facts.keeps_lists =
            GetVolumeInformationByHandleW(handle.get(), nullptr, 0, nullptr, nullptr, &volume_flags, nullptr, 0) &&
            (volume_flags & FILE_PERSISTENT_ACLS);
      }
      if (facts.keeps_lists) return E_ACCESSDENIED;
    }
    if (hold) *hold = std::move(handle);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT folder_holds::check_and_hold(const KV_path& folder) {
  for (const auto& held : held_)
    if (CompareStringOrdinal(held.first.c_str(), -1, folder.text(), -1, TRUE) == CSTR_EQUAL) return S_OK;
  kv::unique_file handle;
  const HRESULT hr = check_private_folder(folder, &handle, &facts_);
  if (SUCCEEDED(hr)) held_.emplace_back(folder.text(), std::move(handle));
  return hr;
}

HRESULT create_private_folder(const KV_path& folder) {
  std::vector<BYTE> user;
  KV_RETURN_IF_FAILED(current_user(user));
  LPWSTR user_text = nullptr;
  if (!ConvertSidToStringSidW(user_sid(user), &user_text)) return HRESULT_FROM_WIN32(GetLastError());
  unique_local user_text_owner(user_text);
  // Protected (P): nothing is inherited from the parent, which at a volume root lets every user in.
  std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;";
  sddl += user_text;
  sddl += L")";
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &raw, nullptr))
    return HRESULT_FROM_WIN32(GetLastError());
  unique_local descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
  about_to_change();
  if (CreateDirectoryW(os_path(folder.text()).get(), &attributes)) return S_OK;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return HRESULT_FROM_WIN32(error);
  return check_private_folder(folder);
}

}  // namespace kv::provider
