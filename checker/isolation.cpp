#include "checker/isolation.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <string>

#include "win/owners.h"

namespace kv::check {

namespace {

struct worker {
  explicit worker(std::function<void()> work) : job(std::move(work)) {}
  std::function<void()> job;
  std::atomic<DWORD> thread_id{0};
  std::atomic<bool> caught{false};
  std::atomic<bool> ended_by_filter{false};
  // The last exception raised on the thread: the one that left the provider when the job ends by
  // an exception.
  std::atomic<DWORD> last_code{0};
  std::atomic<const void*> last_address{nullptr};
};

std::atomic<worker*> running{nullptr};
LPTOP_LEVEL_EXCEPTION_FILTER chained_filter = nullptr;

constexpr DWORD thread_naming_exception = 0x406D1388;
constexpr DWORD gcc_throw = 0x20474343;
// Raised while GCC's runtime unwinds to the handler of an exception it threw: not the exception.
constexpr DWORD gcc_unwind = 0x21474343;

bool is_notice(DWORD code) noexcept {
  return code == DBG_PRINTEXCEPTION_C || code == DBG_PRINTEXCEPTION_WIDE_C || code == thread_naming_exception ||
         code == gcc_unwind;
}

worker* worker_of_this_thread() noexcept {
  worker* current = running.load();
  return current && current->thread_id.load() == GetCurrentThreadId() ? current : nullptr;
}

LONG CALLBACK note_exception(EXCEPTION_POINTERS* info) noexcept {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (worker* current = worker_of_this_thread(); current && !is_notice(record->ExceptionCode)) {
    current->last_code.store(record->ExceptionCode);
    current->last_address.store(record->ExceptionAddress);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// No frame of the provider or of the worker handled it: the worker's thread ends here, the rest of
// the process goes on.
LONG WINAPI end_worker_thread(EXCEPTION_POINTERS* info) noexcept {
  if (worker* current = worker_of_this_thread()) {
    current->last_code.store(info->ExceptionRecord->ExceptionCode);
    current->last_address.store(info->ExceptionRecord->ExceptionAddress);
    current->ended_by_filter.store(true);
    ExitThread(1);
  }
  return chained_filter ? chained_filter(info) : EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI worker_main(void* parameter) {
  worker* self = static_cast<worker*>(parameter);
  const kv::com_apartment apartment;
  try {
    self->job();
  } catch (...) {
    self->caught.store(true);
  }
  return 0;
}

const wchar_t* exception_name(DWORD code) noexcept {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return L"access violation";
    case EXCEPTION_STACK_OVERFLOW:
      return L"stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return L"division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return L"illegal instruction";
    case EXCEPTION_BREAKPOINT:
      return L"breakpoint";
    case gcc_throw:
      return L"C++ exception, GCC";
    case 0xE06D7363:
      return L"C++ exception, Microsoft C++";
    default:
      return L"exception";
  }
}

}  // namespace

std::wstring describe_exception(const job_end& end) {
  wchar_t text[96];
  std::swprintf(text, 96, L"0x%08lX (%ls) at %p", static_cast<unsigned long>(end.exception_code),
                exception_name(end.exception_code), end.exception_address);
  return text;
}

isolation::isolation(DWORD time_limit_ms) : time_limit_ms_(time_limit_ms) {
  handler_ = AddVectoredExceptionHandler(0, note_exception);
  previous_filter_ = SetUnhandledExceptionFilter(end_worker_thread);
  chained_filter = previous_filter_;
}

isolation::~isolation() {
  SetUnhandledExceptionFilter(previous_filter_);
  if (handler_) RemoveVectoredExceptionHandler(handler_);
}

job_end isolation::run(std::function<void()> job) {
  job_end end;
  if (stopped_) {
    end.ended = job_end::how::not_started;
    return end;
  }
  auto self = std::make_unique<worker>(std::move(job));
  DWORD id = 0;
  const kv::unique_handle thread(CreateThread(nullptr, 0, worker_main, self.get(), CREATE_SUSPENDED, &id));
  if (!thread) {
    end.ended = job_end::how::not_started;
    return end;
  }
  self->thread_id.store(id);
  running.store(self.get());
  ResumeThread(thread.get());
  if (WaitForSingleObject(thread.get(), time_limit_ms_) != WAIT_OBJECT_0) {
    // Stopped where it is, so that it touches nothing of the checker's any more; the worker stays
    // allocated for the same reason.
    SuspendThread(thread.get());
    self.release();
    stopped_ = true;
    end.ended = job_end::how::hung;
    return end;
  }
  running.store(nullptr);
  if (self->caught.load() || self->ended_by_filter.load()) {
    end.ended = job_end::how::exception;
    end.exception_code = self->last_code.load();
    end.exception_address = self->last_address.load();
  }
  return end;
}

}  // namespace kv::check
