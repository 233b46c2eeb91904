// ScratchStack: where the reader gathers the elements and members of the arrays and objects it
// has open, until each is complete and moves into its block. The first kInline entries live
// inside the stack itself, so a typical request needs no allocation for them; deeper or wider
// texts spill into one heap buffer that doubles and is kept to the end of the parse.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <utility>

namespace ktarn::json {

template <class T, std::size_t kInline>
class ScratchStack {
 public:
  ScratchStack() = default;
  ScratchStack(const ScratchStack&) = delete;
  ScratchStack& operator=(const ScratchStack&) = delete;
  ~ScratchStack() {
    pop_to(0);
    if (data_ != local()) std::allocator<T>().deallocate(data_, capacity_);
  }

  std::size_t size() const { return size_; }

  void push(T&& entry) {
    if (size_ == capacity_) grow();
    std::construct_at(data_ + size_, std::move(entry));
    ++size_;
  }

  // The entries from index base to the top.
  std::span<T> from(std::size_t base) { return {data_ + base, size_ - base}; }

  void pop_to(std::size_t base) {
    std::destroy(data_ + base, data_ + size_);
    size_ = base;
  }

 private:
  T* local() { return reinterpret_cast<T*>(local_); }

  void grow() {
    std::allocator<T> allocator;
    T* const bigger = allocator.allocate(2 * capacity_);
    std::uninitialized_move_n(data_, size_, bigger);
    std::destroy_n(data_, size_);
    if (data_ != local()) allocator.deallocate(data_, capacity_);
    data_ = bigger;
    capacity_ *= 2;
  }

  alignas(T) unsigned char local_[kInline * sizeof(T)];
  T* data_ = local();
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

}  // namespace ktarn::json
