#pragma once
// Every operation with ordinary and edge inputs, judged by the contract rules.
#include <string>

#include "checker/operation_runner.h"
#include "checker/report.h"

namespace kv::check {

// `work_folder` is the checker's own empty folder and current folder: every drive text that could
// make something points inside it.
void sweep_operations(operation_runner& runner, const std::wstring& work_folder, report& results);

}  // namespace kv::check
