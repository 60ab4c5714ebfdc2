#pragma once
// The contract checks that need no keystore: the class factory, QueryInterface, object lifetime
// through DllCanUnloadNow, and what each call's outcome says about the rules (the sweep of every
// operation is in operation_sweep.h).
#include <windows.h>

#include <string>

#include "checker/argument_pages.h"
#include "checker/isolation.h"
#include "checker/operation_runner.h"
#include "checker/provider_module.h"
#include "checker/report.h"

namespace kv::check {

// What the outcome of `call` says about every rule it touches.
void judge_call(const call_spec& call, const call_outcome& outcome, DWORD time_limit_ms, report& results);
// Runs `call` and judges it; false when the call did not return (exception, hang, or not made).
bool run_and_judge(operation_runner& runner, const call_spec& call, call_outcome& outcome, report& results);

// DllGetClassObject for IClassFactory, before anything else: false (with `problem`) when the DLL
// answers a failure, which makes it no provider the checker can go on with.
bool check_class_object(const provider_module& module, isolation& threads, report& results, std::wstring& problem);
void check_class_factory(const provider_module& module, isolation& threads, report& results);
void check_query_interface(const provider_module& module, isolation& threads, report& results);
// Two objects made and released one after the other, DllCanUnloadNow asked in between. Answers
// whether DllCanUnloadNow counts objects at all (S_OK while none lives).
bool check_object_lifetime(const provider_module& module, isolation& threads, report& results);

// After the last operation: arguments touched after their call, and DllCanUnloadNow once every
// object should be gone.
void judge_whole_run(const operation_runner& runner, const argument_pages& pages, const provider_module& module,
                     isolation& threads, bool unload_counts_objects, report& results);

}  // namespace kv::check
