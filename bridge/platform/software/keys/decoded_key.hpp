// A key the keychain has decoded (or made, or loaded into a TPM): its public numbers, and its
// OpenSSL form with the context that signs with it. A stored software key's OpenSSL form is made
// only when it is first used to sign, since making it (with the library's key management set up
// for it in a new process) costs a new process a good part of its first "key" answer, which reads
// nothing but the public numbers; those come from the stored bytes, checked as a whole exactly as
// the key made later is. Copies share one key: the form made for one is there for every other,
// and the key is released with the last of them.
#pragma once

#include <functional>
#include <memory>

#include "bridge/platform/software/keys/rsa_key.hpp"

namespace ktarn::platform::software {

// A key's OpenSSL form and its signing context (none when the context could not be set up, so
// signing fails while the key can still be read).
struct OpenedKey {
  Pkey key;
  Signer signer;
};

class DecodedKey {
 public:
  // No key: its stored bytes did not decode, or another process stored the key first.
  DecodedKey() = default;
  // A key in OpenSSL's form already; its public numbers are read from it.
  DecodedKey(Pkey key, Signer signer);
  // A key of the given public numbers whose OpenSSL form open makes on first use (none when it
  // cannot be made, and then signing fails).
  DecodedKey(RsaPublicNumbers numbers, std::function<OpenedKey()> open);

  explicit operator bool() const { return shared_ != nullptr; }
  // Whether the key is an RSA key, which every key the keychain makes is; its numbers are empty
  // otherwise.
  bool is_rsa() const { return shared_ != nullptr && !shared_->numbers.modulus.empty(); }
  const RsaPublicNumbers& numbers() const;
  EVP_PKEY* key() const;
  Sha256Signer* signer() const;
  // The public half: the same numbers, and no private key to make.
  DecodedKey public_half() const;

 private:
  struct Shared {
    RsaPublicNumbers numbers;
    std::function<OpenedKey()> open;  // until the key is made
    OpenedKey opened;
  };
  const OpenedKey& opened() const;

  std::shared_ptr<Shared> shared_;
};

}  // namespace ktarn::platform::software
