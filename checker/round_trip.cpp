#include "checker/round_trip.h"

#include <vector>

#include "checker/contract_rules.h"
#include "checker/operations.h"
#include "checker/out_texts.h"
#include "win/owners.h"

namespace kv::check {

namespace {

constexpr wchar_t first_password[] = L"Checker password 1";
constexpr wchar_t second_password[] = L"Checker password 2";
constexpr wchar_t recovered_password[] = L"Checker password 3";
constexpr wchar_t wrong_password[] = L"Not the password";
constexpr wchar_t export_password[] = L"Checker export password";

// Key ids looked for at most among new GUID texts, and files and folder levels looked through.
constexpr std::size_t max_candidates = 32;
constexpr int max_files = 20000;
constexpr int max_depth = 12;

int hex_value(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// The 8-4-4-4-12 hex form at `text`.
bool guid_at(const wchar_t* text, std::size_t available, GUID& id) {
  static constexpr int dashes[] = {8, 13, 18, 23};
  if (available < 36) return false;
  unsigned char bytes[16];
  int count = 0;
  for (int i = 0; i < 36;) {
    if (i == dashes[0] || i == dashes[1] || i == dashes[2] || i == dashes[3]) {
      if (text[i] != L'-') return false;
      ++i;
      continue;
    }
    const int high = hex_value(text[i]);
    const int low = hex_value(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[count++] = static_cast<unsigned char>(high << 4 | low);
    i += 2;
  }
  id.Data1 = static_cast<unsigned long>(bytes[0]) << 24 | static_cast<unsigned long>(bytes[1]) << 16 |
             static_cast<unsigned long>(bytes[2]) << 8 | bytes[3];
  id.Data2 = static_cast<unsigned short>(bytes[4] << 8 | bytes[5]);
  id.Data3 = static_cast<unsigned short>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) id.Data4[i] = bytes[8 + i];
  return true;
}

void add_once(std::vector<GUID>& ids, const GUID& id) {
  for (const GUID& known : ids) {
    if (IsEqualGUID(known, id)) return;
  }
  ids.push_back(id);
}

// Every GUID text in the names of the files and folders under `folder`.
void collect_guids(const std::wstring& folder, int depth, int& files, std::vector<GUID>& ids) {
  WIN32_FIND_DATAW found;
  kv::unique_find search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L".." || ++files > max_files) continue;
    for (std::size_t at = 0; at + 36 <= name.size(); ++at) {
      GUID id;
      if (guid_at(name.c_str() + at, name.size() - at, id)) add_once(ids, id);
    }
    const bool link = found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !link && depth < max_depth) {
      collect_guids(folder + L"\\" + name, depth + 1, files, ids);
    }
  } while (FindNextFileW(search.get(), &found));
}

std::vector<GUID> guids_under(const std::wstring& folder) {
  std::vector<GUID> ids;
  int files = 0;
  // A volume root as drive ends with its backslash already.
  collect_guids(folder.back() == L'\\' ? folder.substr(0, folder.size() - 1) : folder, 0, files, ids);
  return ids;
}

// What LocateKey answered, as the server reads it; empty when it failed.
std::vector<std::wstring> located(const call_outcome& outcome) {
  if (FAILED(outcome.answer) || !outcome.real_text()) return {};
  return path_list_entries(outcome.real_text(), outcome.text_seen.units);
}

std::wstring joined(const std::vector<std::wstring>& texts) {
  std::wstring out;
  for (const std::wstring& text : texts) out += (out.empty() ? L"" : L", ") + shown_text(text.c_str(), text.size());
  return out;
}

// One rule's sequence of steps: each call made and judged like any other, then held against
// what the earlier answers promise. The first step that does not hold ends the sequence.
class steps {
 public:
  steps(operation_runner& runner, report& results, rule checked) : runner_(runner), results_(results), rule_(checked) {}

  // Makes `call`; false (and the rule not checked further) when it did not return.
  bool make(const call_spec& call) {
    shown_ = describe(call);
    if (run_and_judge(runner_, call, outcome_, results_)) return true;
    results_.cannot_check(rule_, L"the round trip stopped at " + shown_ + L", which did not return");
    return false;
  }
  // Makes `call` and expects a success (`succeed`) or a failure; false after reporting when the
  // answer is the other one.
  bool expect(const call_spec& call, bool succeed, const wchar_t* otherwise) {
    if (!make(call)) return false;
    if (SUCCEEDED(answer()) == succeed) return true;
    fail(L"answered " + describe_hresult(answer()) + L": " + otherwise);
    return false;
  }
  void fail(const std::wstring& what) { results_.failed(rule_, shown_, what); }
  HRESULT answer() const { return outcome_.answer; }
  const call_outcome& outcome() const { return outcome_; }

 private:
  operation_runner& runner_;
  report& results_;
  rule rule_;
  call_outcome outcome_;
  std::wstring shown_;
};

// The GUIDs under `drive` that were not there `before`, up to max_candidates of them.
std::vector<GUID> guids_added(const std::wstring& drive, const std::vector<GUID>& before) {
  std::vector<GUID> fresh;
  for (const GUID& id : guids_under(drive)) {
    bool known = false;
    for (const GUID& old : before) known = known || IsEqualGUID(old, id);
    if (!known && fresh.size() < max_candidates) fresh.push_back(id);
  }
  return fresh;
}

// A key made with the keystore's password (and none with a wrong one), and its id learnt: the
// interface does not hand it out, so it is looked for among the new GUIDs in file names.
bool make_key_and_learn_id(steps& step, const std::wstring& drive, report& results, GUID& id) {
  // A drive that holds a keystore: the answer is judged like every other, its path not compared.
  if (!step.make(get_path(drive))) return false;
  if (!step.expect(create_pwd(drive, first_password), false,
                   L"a second CreatePwd on the same drive succeeded: it would replace the keystore and lose its keys")) {
    return false;
  }
  const std::vector<GUID> before = guids_under(drive);
  if (!step.expect(create_key(drive, first_password, L"checker key", 60, 0), true,
                   L"no key could be made in the new keystore with its password") ||
      !step.expect(create_key(drive, wrong_password, L"checker key 2", 60, 0), false,
                   L"a key was made with a wrong password")) {
    return false;
  }
  for (const GUID& candidate : guids_added(drive, before)) {
    if (!step.make(locate_key(candidate))) return false;
    if (!located(step.outcome()).empty()) {
      id = candidate;
      return true;
    }
  }
  results.cannot_check(rule::round_trip_keys,
                       L"the new key's id could not be learnt: the interface does not hand it out, and no file "
                       L"name under the scratch folder holds a GUID that LocateKey finds");
  return false;
}

// The key renamed, still found by its id, and exported to `export_path`.
bool rename_and_export_key(steps& step, const std::wstring& drive, const GUID& id, const std::wstring& export_path) {
  if (!step.expect(rename_key(drive, id, L"checker key renamed"), true, L"the key just made could not be renamed") ||
      !step.make(locate_key(id))) {
    return false;
  }
  if (located(step.outcome()).empty()) {
    step.fail(L"LocateKey no longer finds the key after RenameKey");
    return false;
  }
  if (!step.expect(export_key(drive, id, export_path, export_password), true, L"the key could not be exported")) {
    return false;
  }
  if (GetFileAttributesW(export_path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    step.fail(L"answered " + describe_hresult(step.answer()) + L" but wrote no file at export_path");
    return false;
  }
  return true;
}

// The key deleted (a second DeleteKey refused), imported from its export file with the export
// password and not with a wrong one, and found again under the same id.
bool delete_and_import_key(steps& step, const std::wstring& drive, const GUID& id, const std::wstring& export_path) {
  if (!step.expect(delete_key(drive, id), true, L"the key could not be deleted") || !step.make(locate_key(id))) {
    return false;
  }
  if (const std::vector<std::wstring> left = located(step.outcome()); !left.empty()) {
    step.fail(L"LocateKey still finds the deleted key: " + joined(left));
    return false;
  }
  if (!step.expect(delete_key(drive, id), false, L"a second DeleteKey of the same key succeeded") ||
      !step.expect(import_key(drive, export_path, wrong_password), false,
                   L"the export file was imported with a wrong password") ||
      !step.expect(import_key(drive, export_path, export_password), true,
                   L"the key could not be imported from its export file") ||
      !step.make(locate_key(id))) {
    return false;
  }
  if (located(step.outcome()).empty()) {
    step.fail(L"LocateKey does not find the imported key under the id it was exported with");
    return false;
  }
  return true;
}

// A key made, found by the id the provider gave it, renamed, exported, deleted and imported.
void keys_round_trip(operation_runner& runner, const std::wstring& drive, report& results) {
  steps step(runner, results, rule::round_trip_keys);
  GUID id{};
  if (!make_key_and_learn_id(step, drive, results, id)) return;
  const std::wstring export_path = drive + (drive.back() == L'\\' ? L"" : L"\\") + L"checker export";
  if (!rename_and_export_key(step, drive, id, export_path) || !delete_and_import_key(step, drive, id, export_path)) {
    return;
  }
  results.passed(rule::round_trip_keys);
}

// The keystore's password verified, changed, held against the history and recovered.
void passwords_round_trip(operation_runner& runner, const std::wstring& drive, report& results) {
  steps step(runner, results, rule::round_trip_passwords);
  if (!step.expect(verify_last_pwd(drive, first_password), true, L"the keystore's own password was refused") ||
      !step.expect(verify_last_pwd(drive, wrong_password), false, L"a wrong password was accepted") ||
      !step.make(verify_pwd_history(drive, second_password))) {
    return;
  }
  const HRESULT history_new = step.answer();
  if (!step.make(change_token_pwd(drive, second_password))) return;
  if (history_new != E_NOTIMPL && SUCCEEDED(history_new) != SUCCEEDED(step.answer())) {
    return step.fail(L"answered " + describe_hresult(step.answer()) + L", but VerifyPwdHistory answered " +
                     describe_hresult(history_new) + L" for the same password: they disagree");
  }
  if (FAILED(step.answer())) {
    return step.fail(L"answered " + describe_hresult(step.answer()) + L": a password never used could not be set");
  }
  if (!step.expect(verify_last_pwd(drive, second_password), true, L"the new password was refused") ||
      !step.expect(verify_last_pwd(drive, first_password), false, L"the old password is still accepted") ||
      !step.expect(create_key(drive, first_password, L"checker key 3", 60, 0), false,
                   L"a key was made with the old password") ||
      !step.expect(create_key(drive, second_password, L"checker key 3", 60, 0), true,
                   L"no key could be made with the new password") ||
      !step.make(verify_pwd_history(drive, first_password))) {
    return;
  }
  const HRESULT history_old = step.answer();
  if (!step.make(change_token_pwd(drive, first_password))) return;
  if (history_old != E_NOTIMPL && SUCCEEDED(history_old) != SUCCEEDED(step.answer())) {
    return step.fail(L"answered " + describe_hresult(step.answer()) + L", but VerifyPwdHistory answered " +
                     describe_hresult(history_old) + L" for the same password: they disagree");
  }
  if (!step.make(recover_pwd(drive, recovered_password))) return;
  if (step.answer() != E_NOTIMPL) {
    if (FAILED(step.answer())) return step.fail(L"answered " + describe_hresult(step.answer()) + L": no password set");
    if (!step.expect(verify_last_pwd(drive, recovered_password), true,
                     L"the password RecoverPwd set is refused")) {
      return;
    }
  }
  results.passed(rule::round_trip_passwords);
}

}  // namespace

void keystore_round_trip(operation_runner& runner, const std::wstring& drive, report& results) {
  steps step(runner, results, rule::round_trip_keys);
  if (!step.make(create_pwd(drive, first_password))) {
    results.cannot_check(rule::round_trip_passwords, L"no keystore: CreatePwd did not return");
    return;
  }
  if (step.answer() == E_NOTIMPL) {
    const std::wstring reason = L"CreatePwd answered E_NOTIMPL: the provider makes no password keystores";
    results.cannot_check(rule::round_trip_keys, reason);
    results.cannot_check(rule::round_trip_passwords, reason);
    return;
  }
  if (FAILED(step.answer())) {
    step.fail(L"answered " + describe_hresult(step.answer()) + L" on the empty scratch folder: no keystore was made");
    results.cannot_check(rule::round_trip_passwords, L"no keystore could be made on the scratch folder");
    return;
  }
  keys_round_trip(runner, drive, results);
  if (runner.stopped()) return;
  passwords_round_trip(runner, drive, results);
}

}  // namespace kv::check
