#pragma once
// The keystore round trip on the user's scratch folder: a password keystore, a key made, found,
// renamed, exported, deleted and imported again, and the password verified and changed. Each
// answer is checked against the others, never against a file layout. Every call goes through
// the operation runner, so the contract rules apply to these calls too.
#include <string>

#include "checker/operation_runner.h"
#include "checker/report.h"

namespace kv::check {

// `drive` is the scratch folder's full path, the drive text every call gets.
void keystore_round_trip(operation_runner& runner, const std::wstring& drive, report& results);

}  // namespace kv::check
