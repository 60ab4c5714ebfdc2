#pragma once
// Blocks for nodes and attributes. While a parse runs on a thread (a page_scope lives), blocks
// come from pages shared by the nodes of that parse: one allocation per page instead of one per
// node and per attribute. Every other block is an allocation of its own. Either kind is freed
// with block_free, so a node may be released alone, moved to another document or outlive its
// document: each page counts the blocks still in use on it and is wiped and freed with its last
// one. Not for concurrent use of one page's nodes from two threads (as for the tree itself).
#include <cstddef>

namespace kvxml {

// Memory for one node or attribute, 8-byte aligned. Throws std::bad_alloc.
void* block_alloc(std::size_t bytes);
void block_free(void* block) noexcept;

class page_scope {
 public:
  page_scope() noexcept;
  ~page_scope();
  page_scope(const page_scope&) = delete;
  page_scope& operator=(const page_scope&) = delete;

 private:
  friend void* block_alloc(std::size_t bytes);
  friend void block_free(void* block) noexcept;
  struct page;
  void* take(std::size_t bytes);
  void drop_page() noexcept;

  page_scope* outer_;
  page* page_ = nullptr;
  std::size_t next_page_bytes_;
};

}  // namespace kvxml
