#pragma once
// Arguments in pages of their own. Every text, GUID and certificate descriptor the checker hands
// to the provider is copied into fresh pages of one reserved region. Once its call has returned
// and the object is released, the checker fills them with a poison pattern and makes them
// inaccessible; a vectored exception handler that sees an access violation inside such a block
// records which call's argument was touched during which later call, makes the block readable
// again and lets the provider go on (it then reads the poison). One instance per process.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv::check {

class argument_pages {
 public:
  argument_pages();
  ~argument_pages();
  argument_pages(const argument_pages&) = delete;
  argument_pages& operator=(const argument_pages&) = delete;

  // False when the region or the handler could not be set up.
  bool ready() const noexcept { return region_ && handler_; }

  // A copy of `bytes` bytes from `data` in pages of its own, followed there by zeros; owned by
  // call `call_index` as its argument `name` (static text). Null when the region is used up.
  void* hand_out(const void* data, std::size_t bytes, int call_index, const wchar_t* name) noexcept;
  // Poisons every block handed out for `call_index`.
  void poison(int call_index) noexcept;
  // The call now running, named in what a fault records (-1: none).
  void set_current_call(int call_index) noexcept { current_call_.store(call_index); }

  struct touch {
    int owner_call;
    const wchar_t* argument;
    int during_call;  // -1: between calls
  };
  std::vector<touch> touches() const;

 private:
  enum block_state : int { live, poisoned, touched };
  struct block {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    int owner_call = -1;
    const wchar_t* argument = nullptr;
    std::atomic<int> state{live};
    std::atomic<int> during_call{-1};
  };

  static LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) noexcept;
  LONG catch_touch(std::uintptr_t address) noexcept;

  static constexpr std::size_t region_bytes = 64u << 20;
  static constexpr std::size_t max_blocks = 8192;

  void* region_ = nullptr;
  void* handler_ = nullptr;
  std::size_t page_ = 4096;
  std::size_t used_ = 0;
  // Blocks are appended by the checker's thread only; the handler reads the published count.
  block blocks_[max_blocks];
  std::atomic<std::size_t> block_count_{0};
  std::atomic<int> current_call_{-1};
};

}  // namespace kv::check
