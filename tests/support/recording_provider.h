#pragma once
// A keystore provider for tests. It records every call with all its arguments and answers what a
// test scripted: per operation an HRESULT and an out text, and the number GetType writes.
//
// In the test process: make_recording_provider(journal) gives an instance bound to a journal that
// the test keeps; scoped_recording_factory puts such instances behind kv::create_keystore_provider.
//
// In another process (the server): recording_provider.dll is the same provider as an in-process
// COM class under CLSID_KeystoreProvider. Each instance it creates reads its script from the
// registry and appends its record to a file; see "Out of process" below.
//
// Test code: it allocates a few small texts per call with the standard library and lets a failure
// of those throw.
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dodadev/keystore_provider.h"

namespace kv::test {

// One call as the provider saw it: the operation's name and each argument, in order, as text.
//   text         "C:\keys" in double quotes as given (characters below U+0020 as \xNN); NULL
//   GUID         {01234567-89AB-CDEF-0123-456789ABCDEF}; NULL
//   integer      decimal (INT32 signed, UINT32 unsigned)
//   certificate  cert(<subject's simple name>) when the descriptor holds a certificate context,
//                cert() when it holds none; NULL when no descriptor arrived
//   out text     out when it arrived null (as callers must preset it), out(set) when it arrived
//                holding something; NULL when no pointer arrived
//   out number   out(<the value it arrived with>); NULL when no pointer arrived
struct recorded_call {
  std::wstring operation;
  std::vector<std::wstring> args;

  // The call as one line: GetFolder("C:\keys", out)
  std::wstring line() const;
};

// What the provider answers. An operation that is not scripted answers S_OK and a null out text.
// The out text is written whatever the result, so a provider that fills it and then fails can be
// scripted too. A null out pointer is answered with E_POINTER and nothing else.
struct provider_script {
  std::map<std::wstring, HRESULT> results;       // by operation name ("GetDrives")
  std::map<std::wstring, std::wstring> texts;    // by operation name; the BSTR gets exactly these
                                                 // characters, embedded NULs included
  UINT32 type = 0;                               // what GetType writes
};

// Where recording providers take their answers and leave their record. Every instance made with
// one journal shares it; the test keeps it to script answers and read the record afterwards.
class provider_journal {
 public:
  virtual ~provider_journal() = default;

  provider_script script;
  std::vector<recorded_call> calls;
  int created = 0;
  int destroyed = 0;
  // For each instance that was handed a certificate: that descriptor as it read at the
  // instance's end (its last Release), in the certificate form of recorded_call.
  std::vector<std::wstring> certificates_at_release;

  // Called by the provider for each call and at the start and end of each instance.
  virtual void record(const recorded_call& call) { calls.push_back(call); }
  virtual void instance_created() { ++created; }
  virtual void instance_destroyed() { ++destroyed; }
  virtual void certificate_at_release(const std::wstring& certificate) {
    certificates_at_release.push_back(certificate);
  }

  // The calls as lines (recorded_call::line).
  std::vector<std::wstring> lines() const;
};

// A new instance holding one reference, bound to `journal`. Throws std::bad_alloc.
IKeystoreProvider* make_recording_provider(std::shared_ptr<provider_journal> journal);

// Recording provider instances alive in this module (the test program or the DLL): a test checks
// that whatever it ran released every provider it created.
long recording_provider_instances() noexcept;

// While it lives, kv::create_keystore_provider hands out recording providers bound to `journal`,
// or fails with the result scripted for "create" when that is a failure. Process-wide, one at a
// time.
class scoped_recording_factory {
 public:
  explicit scoped_recording_factory(std::shared_ptr<provider_journal> journal);
  ~scoped_recording_factory();
  scoped_recording_factory(const scoped_recording_factory&) = delete;
  scoped_recording_factory& operator=(const scoped_recording_factory&) = delete;

  // How many providers the factory was asked for.
  int requests() const noexcept;
};

// Out of process: recording_provider.dll reads, at each instance creation, the key
// HKEY_CURRENT_USER\Software\DoDadevTests\RecordingProvider:
//   "RecordFile"          REG_SZ      file that gets one UTF-16LE line (CRLF) per call, and the
//                                     lines "created" and "destroyed" per instance, before the
//                                     latter "released holding cert(...)" when the instance was
//                                     handed a certificate; absent: no record
//   "<Operation>.result"  REG_DWORD   the operation's HRESULT; "create.result" makes the class
//                                     factory fail with it
//   "<Operation>.text"    REG_BINARY  the operation's out text as UTF-16LE bytes (an empty value is
//                                     an empty BSTR); absent: a null BSTR
//   "GetType.value"       REG_DWORD   what GetType writes
// A test writes the key with store_script, runs, then reads the file with read_record_file. The
// user's hive is shared by the test and the server it starts, so nothing else has to be handed on.
inline constexpr wchar_t recording_provider_key[] = L"Software\\DoDadevTests\\RecordingProvider";

// Replaces the key's content with `script` and `record_file` (empty: no record). A Win32 error code.
LONG store_script(const provider_script& script, const std::wstring& record_file);
// Deletes the key.
void clear_script() noexcept;
// The lines of a record file; empty when it does not exist.
std::vector<std::wstring> read_record_file(const std::wstring& path);

// The DLL's side: a journal scripted from the key and appending to its record file.
std::shared_ptr<provider_journal> load_registry_journal();

}  // namespace kv::test
