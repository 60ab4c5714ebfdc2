#pragma once
// Provider code runs here, one job at a time, each on a fresh thread that joins a single-threaded
// apartment, as the server's main thread is. The checker waits for the thread with a time limit:
// a job that does not end in time is reported as hung, its thread is suspended and left behind,
// and no further job runs. An exception that leaves the provider ends only the job: a C++
// exception is caught around it, any other exception that no frame handles ends its thread from
// the process's unhandled-exception filter. One instance per process.
#include <windows.h>

#include <functional>
#include <string>

namespace kv::check {

struct job_end {
  enum class how : unsigned char { finished, exception, hung, not_started } ended = how::finished;
  DWORD exception_code = 0;
  const void* exception_address = nullptr;
};

// "0xC0000005 (access violation) at 0x...": for reports.
std::wstring describe_exception(const job_end& end);

class isolation {
 public:
  explicit isolation(DWORD time_limit_ms);
  ~isolation();
  isolation(const isolation&) = delete;
  isolation& operator=(const isolation&) = delete;

  // Runs `job` on its own apartment thread and waits at most the time limit. After a hang every
  // later call answers not_started at once.
  job_end run(std::function<void()> job);

  bool stopped() const noexcept { return stopped_; }
  DWORD time_limit_ms() const noexcept { return time_limit_ms_; }

 private:
  DWORD time_limit_ms_;
  bool stopped_ = false;
  void* handler_ = nullptr;
  LPTOP_LEVEL_EXCEPTION_FILTER previous_filter_ = nullptr;
};

}  // namespace kv::check
