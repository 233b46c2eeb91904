// ScratchStack: where the reader gathers the values and names of the arrays and objects it has
// open, until each is complete and moves into its block. The first kInline entries live inside
// the stack itself, so a typical request needs no allocation for them; deeper or wider texts
// spill into one heap buffer that doubles and is kept to the end of the parse. Entries are plain
// bytes that own nothing, so they are moved by copying and dropped by forgetting them.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>

namespace ktarn::json {

template <class T, std::size_t kInline>
class ScratchStack {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  ScratchStack() = default;
  ScratchStack(const ScratchStack&) = delete;
  ScratchStack& operator=(const ScratchStack&) = delete;

  std::size_t size() const { return size_; }

  // A new entry on top, for the caller to fill in.
  T& push() {
    if (size_ == capacity_) grow();
    return data_[size_++];
  }

  // The entries from index base to the top.
  std::span<const T> from(std::size_t base) const { return {data_ + base, size_ - base}; }

  void pop_to(std::size_t base) { size_ = base; }

 private:
  void grow() {
    auto bigger = std::make_unique<T[]>(2 * capacity_);
    std::memcpy(static_cast<void*>(bigger.get()), data_, size_ * sizeof(T));
    spill_ = std::move(bigger);
    data_ = spill_.get();
    capacity_ *= 2;
  }

  T local_[kInline];
  std::unique_ptr<T[]> spill_;
  T* data_ = local_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

}  // namespace ktarn::json
