#include "xml/node_pages.h"

#include <new>

#include "types/kv_alloc.h"

namespace kvxml {
namespace {

// A block starts with the page it lies on, null for a block allocated on its own.
constexpr std::size_t prefix_bytes = 8;
constexpr std::size_t last_page_bytes = 65536;
// Larger blocks (very long names) are allocated on their own.
constexpr std::size_t largest_paged_block = 2048;

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + 7) & ~static_cast<std::size_t>(7); }

}  // namespace

// `live` counts the blocks in use on the page. While a scope fills the page, its blocks are
// counted by the scope, and `live` starts high enough that frees meanwhile cannot bring it to
// zero; settling replaces that start by the blocks taken. Only the `used` bytes were ever
// written, so only they are wiped.
struct alignas(8) page_scope::page {
  std::size_t live;
  std::size_t used;
  std::size_t capacity;
  unsigned char* bytes() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }

  void unref(std::size_t count) noexcept {
    live -= count;
    if (live) return;
    kv::secure_wipe(this, sizeof(page) + used);
    kv::object_free_plain(this);
  }
};

page_scope::~page_scope() { settle_page(); }

void page_scope::settle_page() noexcept {
  if (!page_) return;
  page_->used = static_cast<std::size_t>(next_ - page_->bytes());
  page* settled = page_;
  page_ = nullptr;
  next_ = limit_ = nullptr;
  // The start value goes; the blocks taken stay counted.
  settled->unref(settled->capacity + 1 - taken_);
  taken_ = 0;
}

void* page_scope::take_from_new_page(std::size_t size) {
  const std::size_t bytes = next_page_bytes_;
  auto* fresh = static_cast<page*>(kv::object_alloc_or_throw(bytes));
  fresh->capacity = bytes - sizeof(page);
  fresh->live = fresh->capacity + 1;  // more than the blocks that fit
  fresh->used = 0;
  settle_page();
  page_ = fresh;
  next_ = fresh->bytes();
  limit_ = next_ + fresh->capacity;
  if (next_page_bytes_ < last_page_bytes) next_page_bytes_ *= 2;
  return take(size);
}

void* block_alloc(std::size_t bytes, page_scope* pages) {
  const std::size_t size = rounded(bytes + prefix_bytes);
  unsigned char* block;
  if (pages && size <= largest_paged_block) {
    block = static_cast<unsigned char*>(pages->take(size));
  } else {
    block = static_cast<unsigned char*>(kv::object_alloc_or_throw(size));
    *reinterpret_cast<page_scope::page**>(block) = nullptr;
  }
  return block + prefix_bytes;
}

void block_free(void* block) noexcept {
  if (!block) return;
  unsigned char* start = static_cast<unsigned char*>(block) - prefix_bytes;
  page_scope::page* owner = *reinterpret_cast<page_scope::page**>(start);
  if (owner) {
    owner->unref(1);
  } else {
    kv::object_free(start);
  }
}

}  // namespace kvxml
