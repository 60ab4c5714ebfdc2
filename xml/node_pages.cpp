#include "xml/node_pages.h"

#include <new>

#include "types/kv_alloc.h"

namespace kvxml {
namespace {

// A block starts with the page it lies on, null for a block allocated on its own.
constexpr std::size_t prefix_bytes = 8;
// Pages grow from small (a short request wipes and frees little) to this size.
constexpr std::size_t first_page_bytes = 4096;
constexpr std::size_t last_page_bytes = 65536;
// Larger blocks (very long names) are allocated on their own.
constexpr std::size_t largest_paged_block = 2048;

thread_local page_scope* current_scope = nullptr;

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + 7) & ~static_cast<std::size_t>(7); }

}  // namespace

// `live` counts the blocks in use on the page plus one while the scope still fills it; only the
// `used` bytes were ever written, so only they are wiped.
struct alignas(8) page_scope::page {
  std::size_t live;
  std::size_t used;
  std::size_t capacity;
  unsigned char* bytes() noexcept { return reinterpret_cast<unsigned char*>(this + 1); }

  void unref() noexcept {
    if (--live) return;
    kv::secure_wipe(this, sizeof(page) + used);
    kv::object_free_plain(this);
  }
};

page_scope::page_scope() noexcept : outer_(current_scope), next_page_bytes_(first_page_bytes) {
  current_scope = this;
}

page_scope::~page_scope() {
  drop_page();
  current_scope = outer_;
}

void page_scope::drop_page() noexcept {
  if (page_) page_->unref();
  page_ = nullptr;
}

void* page_scope::take(std::size_t bytes) {
  if (!page_ || page_->capacity - page_->used < bytes) {
    const std::size_t size = next_page_bytes_;
    auto* fresh = static_cast<page*>(kv::object_alloc_or_throw(size));
    fresh->live = 1;
    fresh->used = 0;
    fresh->capacity = size - sizeof(page);
    drop_page();
    page_ = fresh;
    if (next_page_bytes_ < last_page_bytes) next_page_bytes_ *= 2;
  }
  unsigned char* block = page_->bytes() + page_->used;
  page_->used += bytes;
  ++page_->live;
  *reinterpret_cast<page**>(block) = page_;
  return block + prefix_bytes;
}

void* block_alloc(std::size_t bytes) {
  const std::size_t size = rounded(bytes + prefix_bytes);
  if (current_scope && size <= largest_paged_block) return current_scope->take(size);
  auto* block = static_cast<unsigned char*>(kv::object_alloc_or_throw(size));
  *reinterpret_cast<page_scope::page**>(block) = nullptr;
  return block + prefix_bytes;
}

void block_free(void* block) noexcept {
  if (!block) return;
  unsigned char* start = static_cast<unsigned char*>(block) - prefix_bytes;
  page_scope::page* owner = *reinterpret_cast<page_scope::page**>(start);
  if (owner) {
    owner->unref();
  } else {
    kv::object_free(start);
  }
}

}  // namespace kvxml
