#pragma once
// Records the contents of every block released through kv::mem_free or kv::object_free while it
// is in scope, so a test can tell whether text was wiped before its buffer was freed. The size of
// each block comes from the heap that owns it, so only memory the block really owns is read.
#include <cstring>
#include <vector>

#include "types/kv_alloc.h"

class freed_blocks {
 public:
  freed_blocks() {
    blocks().clear();
    kv::alloc_probe::observe_frees(&record);
  }
  ~freed_blocks() { kv::alloc_probe::observe_frees(nullptr); }
  freed_blocks(const freed_blocks&) = delete;
  freed_blocks& operator=(const freed_blocks&) = delete;

  std::size_t count() const { return blocks().size(); }

  // True when some freed block still held these bytes.
  bool hold(const void* bytes, std::size_t size) const {
    for (const auto& block : blocks()) {
      if (block.data.size() < size) continue;
      for (std::size_t at = 0; at + size <= block.data.size(); ++at) {
        if (std::memcmp(block.data.data() + at, bytes, size) == 0) return true;
      }
    }
    return false;
  }
  bool hold(const wchar_t* text) const { return hold(text, std::wcslen(text) * sizeof(wchar_t)); }
  bool hold(const char* text) const { return hold(text, std::strlen(text)); }

  // The recorded contents of the block at `address`, or null when it was not freed.
  const std::vector<unsigned char>* block_at(const void* address) const {
    for (const auto& block : blocks()) {
      if (block.address == address) return &block.data;
    }
    return nullptr;
  }

 private:
  struct block {
    const void* address;
    std::vector<unsigned char> data;
  };
  static std::vector<block>& blocks() {
    static std::vector<block> recorded;
    return recorded;
  }
  static void record(const void* address, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(address);
    blocks().push_back({address, std::vector<unsigned char>(bytes, bytes + size)});
  }
};
