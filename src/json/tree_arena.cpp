#include "json/tree_arena.hpp"

#include <algorithm>
#include <new>

namespace ktarn::json {

struct TreeArena::Chunk {
  Chunk* older;
};

namespace {

// Small enough to come from the allocator's fast path, large enough for a typical request.
constexpr std::size_t kSmallestChunk = 512;
// A huge text should not make one huge first chunk whose tail might stay unused.
constexpr std::size_t kLargestFirstChunk = std::size_t{1} << 20;

}  // namespace

TreeArena::TreeArena(std::size_t size_hint)
    : next_chunk_size_(std::clamp(size_hint, kSmallestChunk, kLargestFirstChunk)) {}

TreeArena::~TreeArena() {
  free_chunks(chunks_);
}

void TreeArena::add_chunk(std::size_t bytes) {
  const std::size_t size = std::max(next_chunk_size_, bytes + sizeof(Chunk));
  auto* chunk = static_cast<Chunk*>(::operator new(size));
  chunk->older = chunks_;
  chunks_ = chunk;
  next_ = reinterpret_cast<char*>(chunk) + sizeof(Chunk);
  limit_ = reinterpret_cast<char*>(chunk) + size;
  next_chunk_size_ = 2 * size;
}

void* TreeArena::hand_over() {
  Chunk* const chunks = chunks_;
  chunks_ = nullptr;
  next_ = nullptr;
  limit_ = nullptr;
  return chunks;
}

void TreeArena::free_chunks(void* handle) noexcept {
  for (auto* chunk = static_cast<Chunk*>(handle); chunk != nullptr;) {
    Chunk* const older = chunk->older;
    ::operator delete(chunk);
    chunk = older;
  }
}

}  // namespace ktarn::json
