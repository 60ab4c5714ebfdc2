#pragma once
// One provider operation made the way the server makes it: the class object from
// DllGetClassObject, one new object from its CreateInstance for IKeystoreProvider, one call, and
// the object released right after, all on one apartment thread of the isolation. The arguments
// sit in pages of their own that are poisoned once the object is released; every certificate
// comes from a store of its own that is closed with a check of kept duplicates.
#include <windows.h>

#include <string>
#include <vector>

#include "checker/argument_pages.h"
#include "checker/isolation.h"
#include "checker/operations.h"
#include "checker/out_texts.h"
#include "checker/provider_module.h"
#include "win/owners.h"

namespace kv::check {

// Where the provider's code was when a job ended by an exception.
enum class call_stage : unsigned char { creating, calling, releasing, done };

struct call_outcome {
  job_end worker;
  call_stage stage = call_stage::creating;
  const wchar_t* creation_step = L"";  // DllGetClassObject or CreateInstance, when creation failed
  HRESULT created = E_FAIL;
  HRESULT answer = S_OK;
  BSTR text = nullptr;  // as the provider left it; not owned when it is no real BSTR
  bstr_examined text_seen;
  UINT32 number = 0;
  bool released = false;
  ULONG release_answer = 0;
  int certificates_checked = 0;
  int certificates_kept = 0;

  bool returned() const noexcept { return worker.ended == job_end::how::finished; }
  // The out text, when it is a real BSTR, with its length.
  const wchar_t* real_text() const noexcept { return text_seen.real ? text : nullptr; }
};

class operation_runner {
 public:
  operation_runner(const provider_module& module, isolation& threads, argument_pages& pages,
                   bool certificate_checks);
  ~operation_runner();
  operation_runner(const operation_runner&) = delete;
  operation_runner& operator=(const operation_runner&) = delete;

  // Makes `call` on a new object. False only when the checker could not prepare the arguments.
  bool run(const call_spec& call, call_outcome& outcome);

  int calls_made() const noexcept { return static_cast<int>(descriptions_.size()); }
  const std::wstring& description_of(int call_index) const { return descriptions_[static_cast<std::size_t>(call_index)]; }
  // Objects left unreleased because an exception ended their job.
  int abandoned_objects() const noexcept { return abandoned_; }
  bool stopped() const noexcept { return threads_.stopped(); }
  DWORD time_limit_ms() const noexcept { return threads_.time_limit_ms(); }

 private:
  const provider_module& module_;
  isolation& threads_;
  argument_pages& pages_;
  bool certificate_checks_;
  std::vector<std::wstring> descriptions_;
  // The real out texts of past calls, freed when the runner goes.
  std::vector<kv::unique_bstr> texts_;
  int abandoned_ = 0;
};

}  // namespace kv::check
