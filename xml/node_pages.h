#pragma once
// Blocks for nodes and attributes. A parse passes its page_scope to every node and attribute it
// makes, and their blocks then come from pages shared by the nodes of that parse: one
// allocation per page instead of one per node and per attribute. Every other block is an
// allocation of its own. Either kind is freed with block_free, so a node may be released alone,
// moved to another document or outlive its document: each page counts the blocks still in use
// on it and is wiped and freed with its last one. Not for concurrent use of one page's nodes
// from two threads (as for the tree itself).
#include <cstddef>

namespace kvxml {

class page_scope;

inline void* block_alloc(std::size_t bytes, page_scope* pages);
void block_free(void* block) noexcept;

namespace pages_detail {
// A block starts with the page it lies on, null for a block allocated on its own.
constexpr std::size_t prefix_bytes = 8;
// Larger blocks (very long names) are allocated on their own.
constexpr std::size_t largest_paged_block = 2048;
void* allocate_alone(std::size_t size);
}  // namespace pages_detail

class page_scope {
 public:
  page_scope() noexcept = default;
  ~page_scope();
  page_scope(const page_scope&) = delete;
  page_scope& operator=(const page_scope&) = delete;

 private:
  friend void* block_alloc(std::size_t bytes, page_scope* pages);
  friend void block_free(void* block) noexcept;
  struct page;
  // The current page's free room and the blocks taken from it are kept here, not on the page, and
  // settled on the page when the scope moves on to the next one.
  void* take(std::size_t size) {
    if (size <= static_cast<std::size_t>(limit_ - next_)) {
      unsigned char* block = next_;
      next_ += size;
      ++taken_;
      *reinterpret_cast<page**>(block) = page_;
      return block;
    }
    return take_from_new_page(size);
  }
  void* take_from_new_page(std::size_t size);
  void settle_page() noexcept;

  page* page_ = nullptr;
  unsigned char* next_ = nullptr;
  unsigned char* limit_ = nullptr;
  std::size_t taken_ = 0;
  std::size_t next_page_bytes_ = 4096;  // pages grow from small: a short request wipes and frees little
};

// Memory for one node or attribute, 8-byte aligned, from the scope's pages when there is a
// scope. Throws std::bad_alloc.
inline void* block_alloc(std::size_t bytes, page_scope* pages) {
  const std::size_t size = (bytes + pages_detail::prefix_bytes + 7) & ~static_cast<std::size_t>(7);
  void* block = pages && size <= pages_detail::largest_paged_block ? pages->take(size) : pages_detail::allocate_alone(size);
  return static_cast<unsigned char*>(block) + pages_detail::prefix_bytes;
}

}  // namespace kvxml
