// Keys decoded earlier in this process, kept so that the next use of the same stored key skips
// decoding it and setting up its blinding again. An entry is found only by the exact stored
// bytes, so every use still reads the item from the keychain and a changed or replaced item is
// decoded afresh; a removed item simply ages out.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "bridge/platform/software/rsa_key.hpp"

namespace ktarn::platform::software {

class DecodedKeyCache {
 public:
  // The key for the stored private key bytes, decoded now unless an earlier decode is kept;
  // none when the bytes are not an RSA private key.
  Pkey decode(const SecretBytes& stored);
  // Keeps a key whose stored form is already known (one that was just created).
  void remember(const SecretBytes& stored, Pkey key);

 private:
  static constexpr std::size_t kCapacity = 8;
  std::vector<std::pair<SecretBytes, Pkey>> entries_;  // oldest first
};

}  // namespace ktarn::platform::software
