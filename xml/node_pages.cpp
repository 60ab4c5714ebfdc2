#include "xml/node_pages.h"

#include <new>

#include "types/kv_alloc.h"

namespace kvxml {
namespace {

using pages_detail::prefix_bytes;
constexpr std::size_t last_page_bytes = 65536;

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

void* pages_detail::allocate_alone(std::size_t size) {
  auto* block = static_cast<unsigned char*>(kv::object_alloc_or_throw(size));
  *reinterpret_cast<void**>(block) = nullptr;
  return block;
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
