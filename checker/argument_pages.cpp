#include "checker/argument_pages.h"

#include <cstring>

namespace kv::check {

namespace {

argument_pages* the_instance = nullptr;

// Reads as 0xDDDD units: no text, GUID or pointer that means anything.
constexpr unsigned char poison_byte = 0xDD;

}  // namespace

argument_pages::argument_pages() {
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  page_ = system.dwPageSize;
  region_ = VirtualAlloc(nullptr, region_bytes, MEM_RESERVE, PAGE_NOACCESS);
  if (!the_instance) {
    the_instance = this;
    // First in line: a touch must be taken back before the provider's own handlers see it.
    handler_ = AddVectoredExceptionHandler(1, on_exception);
  }
}

argument_pages::~argument_pages() {
  if (handler_) {
    RemoveVectoredExceptionHandler(handler_);
    the_instance = nullptr;
  }
  if (region_) VirtualFree(region_, 0, MEM_RELEASE);
}

void* argument_pages::hand_out(const void* data, std::size_t bytes, int call_index, const wchar_t* name) noexcept {
  const std::size_t count = block_count_.load();
  // One unit of zeros after the data at least, so that a text read past its end stops there.
  const std::size_t span = (bytes + sizeof(wchar_t) + page_ - 1) / page_ * page_;
  if (!region_ || count == max_blocks || used_ + span > region_bytes) return nullptr;
  void* pages = VirtualAlloc(static_cast<char*>(region_) + used_, span, MEM_COMMIT, PAGE_READWRITE);
  if (!pages) return nullptr;
  used_ += span;
  if (bytes) std::memcpy(pages, data, bytes);
  block& made = blocks_[count];
  made.start = reinterpret_cast<std::uintptr_t>(pages);
  made.end = made.start + span;
  made.owner_call = call_index;
  made.argument = name;
  made.state.store(live);
  made.during_call.store(-1);
  block_count_.store(count + 1);
  return pages;
}

void argument_pages::poison(int call_index) noexcept {
  const std::size_t count = block_count_.load();
  for (std::size_t i = 0; i < count; ++i) {
    block& b = blocks_[i];
    if (b.owner_call != call_index || b.state.load() != live) continue;
    void* start = reinterpret_cast<void*>(b.start);
    const std::size_t span = b.end - b.start;
    std::memset(start, poison_byte, span);
    // The last unit stays NUL: a provider that reads a poisoned text after its touch was caught
    // reads poison, not past the block.
    static_cast<wchar_t*>(start)[span / sizeof(wchar_t) - 1] = 0;
    b.state.store(poisoned);
    DWORD old = 0;
    VirtualProtect(start, span, PAGE_NOACCESS, &old);
  }
}

std::vector<argument_pages::touch> argument_pages::touches() const {
  std::vector<touch> found;
  const std::size_t count = block_count_.load();
  for (std::size_t i = 0; i < count; ++i) {
    const block& b = blocks_[i];
    if (b.state.load() == touched) found.push_back({b.owner_call, b.argument, b.during_call.load()});
  }
  return found;
}

LONG CALLBACK argument_pages::on_exception(EXCEPTION_POINTERS* info) noexcept {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (!the_instance || record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return the_instance->catch_touch(static_cast<std::uintptr_t>(record->ExceptionInformation[1]));
}

LONG argument_pages::catch_touch(std::uintptr_t address) noexcept {
  const std::size_t count = block_count_.load();
  for (std::size_t i = 0; i < count; ++i) {
    block& b = blocks_[i];
    if (address < b.start || address >= b.end) continue;
    int expected = poisoned;
    if (b.state.compare_exchange_strong(expected, touched)) b.during_call.store(current_call_.load());
    // Readable again (and writable, if the touch was a write), so that the provider goes on.
    DWORD old = 0;
    if (b.state.load() != live && VirtualProtect(reinterpret_cast<void*>(b.start), b.end - b.start, PAGE_READWRITE, &old)) {
      return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace kv::check
