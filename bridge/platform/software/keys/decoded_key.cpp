#include "bridge/platform/software/keys/decoded_key.hpp"

#include <utility>

namespace ktarn::platform::software {

DecodedKey::DecodedKey(Pkey key, Signer signer) : shared_(std::make_shared<Shared>()) {
  if (key) {
    if (auto numbers = rsa_public_numbers(*key)) shared_->numbers = std::move(*numbers);
  }
  shared_->opened = OpenedKey{std::move(key), std::move(signer)};
}

DecodedKey::DecodedKey(RsaPublicNumbers numbers, std::function<OpenedKey()> open)
    : shared_(std::make_shared<Shared>(Shared{std::move(numbers), std::move(open), {}})) {}

const RsaPublicNumbers& DecodedKey::numbers() const {
  static const RsaPublicNumbers kNone;
  return shared_ != nullptr ? shared_->numbers : kNone;
}

const OpenedKey& DecodedKey::opened() const {
  static const OpenedKey kNone;
  if (shared_ == nullptr) return kNone;
  if (shared_->open) {
    // Taken out first: whatever the making holds (a copy of the stored key) goes with it.
    auto open = std::exchange(shared_->open, nullptr);
    shared_->opened = open();
  }
  return shared_->opened;
}

EVP_PKEY* DecodedKey::key() const {
  return opened().key.get();
}

Sha256Signer* DecodedKey::signer() const {
  return opened().signer.get();
}

DecodedKey DecodedKey::public_half() const {
  if (shared_ == nullptr) return DecodedKey();
  return DecodedKey(shared_->numbers, nullptr);
}

}  // namespace ktarn::platform::software
