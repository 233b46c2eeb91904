// The ownership of one reference handed out by a Copy or Create call: released exactly once, by
// the release function it was made for, when its owner drops it. Kept free of the frameworks'
// headers (the reference is an opaque pointer) so that the rule is tested where the frameworks
// are absent.
#pragma once

#include <utility>

namespace ktarn::platform::macos {

template <class Reference, auto Release>
class OwnedReference {
 public:
  OwnedReference() = default;
  // Takes over a reference the caller owns; a null reference is held as nothing.
  explicit OwnedReference(Reference reference) : reference_(reference) {}
  OwnedReference(OwnedReference&& other) noexcept
      : reference_(std::exchange(other.reference_, nullptr)) {}
  OwnedReference& operator=(OwnedReference&& other) noexcept {
    OwnedReference(std::move(other)).swap(*this);
    return *this;
  }
  OwnedReference(const OwnedReference&) = delete;
  OwnedReference& operator=(const OwnedReference&) = delete;
  ~OwnedReference() {
    if (reference_ != nullptr) Release(reference_);
  }

  Reference get() const { return reference_; }
  explicit operator bool() const { return reference_ != nullptr; }

 private:
  void swap(OwnedReference& other) noexcept { std::swap(reference_, other.reference_); }

  Reference reference_ = nullptr;
};

}  // namespace ktarn::platform::macos
