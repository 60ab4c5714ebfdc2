#include "checker/options.h"

#include <cwchar>

namespace kv::check {

namespace {

constexpr wchar_t help[] =
    L"dodadev-provider-check: loads a keystore provider DLL into this process and checks that it keeps\n"
    L"the contract of include/dodadev/keystore_provider.h, rule by rule.\n"
    L"\n"
    L"Usage:\n"
    L"  dodadev-provider-check [--json] [--scratch FOLDER] [--timeout SECONDS] [PROVIDER.dll]\n"
    L"  dodadev-provider-check --help\n"
    L"\n"
    L"  PROVIDER.dll      the provider to check, loaded by its path without registering it;\n"
    L"                    without it, the DLL registered for CLSID_KeystoreProvider\n"
    L"  --scratch FOLDER  an empty folder (made when missing) for the keystore round trip; the\n"
    L"                    checker hands its full path to the provider as the drive text, so it\n"
    L"                    suits providers that take folders as drives (a volume root such as E:\\\n"
    L"                    works too, if it is empty). What the provider writes there stays; delete\n"
    L"                    the folder afterwards. Without --scratch the round trip is skipped.\n"
    L"  --timeout SECONDS the time limit of one operation (1 to 3600, default 30)\n"
    L"  --json            print the report as one JSON object\n"
    L"\n"
    L"How it calls the provider: like the server, one new object per operation (DllGetClassObject,\n"
    L"then IClassFactory::CreateInstance for IKeystoreProvider), one call, and the object released\n"
    L"right after, on a single-threaded apartment thread of its own. Every operation is called with\n"
    L"ordinary and edge inputs: empty, missing, relative, very long and non-ASCII drive texts, the\n"
    L"all-zero GUID, NULL passwords, certificates with and without a context. Operations that could\n"
    L"make a keystore get only drive texts inside a temporary folder of the checker (also its\n"
    L"current folder during the run), which it removes at the end.\n"
    L"\n"
    L"Rules (one line each in the report):\n"
    L"  answer-code          every answer is an HRESULT the server can pass on: no bare Win32 error\n"
    L"                       code (a positive number reads as success) and no NTSTATUS\n"
    L"  out-text             an out text is NULL or a real BSTR: readable, an even length prefix and\n"
    L"                       a NUL after the counted units (the server frees it with SysFreeString,\n"
    L"                       on failure too)\n"
    L"  path-list            a path list ends with an empty text exactly at its BSTR length\n"
    L"  single-path          a single path holds no NUL within its BSTR length\n"
    L"  xml-characters       the texts the server passes on hold no character XML refuses: U+0000 to\n"
    L"                       U+001F other than tab, line feed and carriage return, U+FFFE, U+FFFF,\n"
    L"                       unpaired surrogates\n"
    L"  last-release         the last Release answers 0 and frees the object: DllCanUnloadNow answers\n"
    L"                       S_FALSE while objects live and S_OK once they are released\n"
    L"  factory-aggregation  CreateInstance with an outer object answers CLASS_E_NOAGGREGATION\n"
    L"  factory-interfaces   the class factory makes the object for IKeystoreProvider and IUnknown,\n"
    L"                       refuses unknown interfaces (E_NOINTERFACE) and DllGetClassObject unknown\n"
    L"                       classes, each with a NULL out pointer\n"
    L"  query-interface      QueryInterface is reflexive and symmetric, always answers the same\n"
    L"                       IUnknown and refuses an unknown interface with a NULL out pointer\n"
    L"  arguments-not-kept   no text, GUID or certificate descriptor is touched after the object was\n"
    L"                       released: the checker poisons them and makes them inaccessible then\n"
    L"  certificate-freed    a certificate context the provider duplicated is freed by the time the\n"
    L"                       object is released (skipped where the system cannot tell)\n"
    L"  no-exception         no exception or crash leaves a method; the checker catches it, names the\n"
    L"                       operation and goes on with a new object\n"
    L"  time-limit           every operation answers within the time limit; after a hang the checker\n"
    L"                       stops, prints the report and exits\n"
    L"  round-trip-keys      with --scratch: a password keystore is made (a second one is refused), a\n"
    L"                       key is made (not with a wrong password), found by LocateKey, renamed,\n"
    L"                       exported, deleted (LocateKey no longer finds it) and imported again\n"
    L"                       under its id. The interface does not hand out a new key's id: the\n"
    L"                       checker looks for GUID texts in the names of the files the provider\n"
    L"                       wrote under the scratch folder and takes the one LocateKey finds\n"
    L"  round-trip-passwords with --scratch: VerifyLastPwd accepts the password and refuses another,\n"
    L"                       ChangeTokenPwd changes it (old refused, new accepted, by VerifyLastPwd\n"
    L"                       and CreateKey), VerifyPwdHistory agrees with what ChangeTokenPwd\n"
    L"                       accepts, RecoverPwd sets a password\n"
    L"A round trip is skipped when CreatePwd answers E_NOTIMPL.\n"
    L"\n"
    L"Output: one line per rule, PASS, FAIL (with the operation and its inputs, and how many more\n"
    L"failures there were) or SKIP (with the reason), then \"N passed, N failed\".\n"
    L"\n"
    L"Exit codes: 0 no rule failed; 1 a rule failed; 2 wrong usage, or a DLL that cannot be loaded\n"
    L"or is no keystore provider; 3 the checker could not set itself up.\n";

bool parse_seconds(const wchar_t* text, DWORD& milliseconds) {
  if (!text || !*text) return false;
  unsigned long seconds = 0;
  for (const wchar_t* p = text; *p; ++p) {
    if (*p < L'0' || *p > L'9') return false;
    seconds = seconds * 10 + static_cast<unsigned long>(*p - L'0');
    if (seconds > 3600) return false;
  }
  if (seconds == 0) return false;
  milliseconds = static_cast<DWORD>(seconds * 1000);
  return true;
}

}  // namespace

const wchar_t* help_text() noexcept { return help; }

bool parse_options(int argc, const wchar_t* const* argv, options& parsed, std::wstring& problem) {
  bool provider_named = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
      parsed.help = true;
    } else if (arg == L"--json") {
      parsed.json = true;
    } else if (arg == L"--scratch" || arg == L"--timeout") {
      if (i + 1 >= argc || !*argv[i + 1]) {
        problem = arg + L" needs a value";
        return false;
      }
      const wchar_t* value = argv[++i];
      if (arg == L"--scratch") {
        parsed.scratch = value;
      } else if (!parse_seconds(value, parsed.time_limit_ms)) {
        problem = L"--timeout takes whole seconds from 1 to 3600, not \"" + std::wstring(value) + L"\"";
        return false;
      }
    } else if (arg.size() > 1 && arg[0] == L'-') {
      problem = L"unknown option " + arg;
      return false;
    } else if (provider_named) {
      problem = L"only one provider DLL can be checked at a time";
      return false;
    } else {
      parsed.provider = arg;
      provider_named = true;
    }
  }
  return true;
}

}  // namespace kv::check
