// TreeArena: the memory of one parsed tree. Blocks are cut from a few large chunks in the order
// the reader finishes them and are never freed one by one; the whole tree goes at once when its
// root does. The first chunk is sized from the length of the text, so a typical request needs one
// allocation, and later chunks double, so a text of any size needs only a few.
#pragma once

#include <cstddef>

namespace ktarn::json {

class TreeArena {
 public:
  // size_hint: the bytes the tree is expected to need.
  explicit TreeArena(std::size_t size_hint);
  TreeArena(const TreeArena&) = delete;
  TreeArena& operator=(const TreeArena&) = delete;
  // Frees every chunk unless they have been handed over.
  ~TreeArena();

  // bytes of fresh memory, aligned for any value of the tree.
  void* allocate(std::size_t bytes) {
    bytes = (bytes + kAlign - 1) & ~(kAlign - 1);
    if (static_cast<std::size_t>(limit_ - next_) < bytes) add_chunk(bytes);
    void* const at = next_;
    next_ += bytes;
    return at;
  }

  // Gives up the chunks: the tree's root keeps the returned handle and passes it to
  // free_chunks when it goes. The arena is empty afterwards.
  void* hand_over();
  static void free_chunks(void* handle) noexcept;

 private:
  static constexpr std::size_t kAlign = 8;
  struct Chunk;

  void add_chunk(std::size_t bytes);

  Chunk* chunks_ = nullptr;  // the newest first
  char* next_ = nullptr;
  char* limit_ = nullptr;
  std::size_t next_chunk_size_;
};

}  // namespace ktarn::json
