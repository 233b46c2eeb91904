// Keys decoded earlier in this process, kept so that the next use of the same stored key skips
// decoding it (or loading it into the TPM), setting up its blinding and preparing its signing
// context again. An entry is found only by the exact stored bytes at the same place (keychain
// identity and row), so every use still reads the item from the keychain, a changed or replaced
// item is decoded afresh, and a stored key copied to another row is loaded there as its kind
// decides, never taken from the cache. Removing items forgets
// every decoded key at once, so no removed key stays in memory for as long as the process lives.
// Each storage kind says how many of its keys may stay loaded at once: a TPM has only a few
// slots for loaded keys, which other processes need as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/platform/software/keys/decoded_key.hpp"
#include "bridge/platform/software/keys/rsa_key.hpp"

namespace ktarn::platform::software {

class KeyKind;
struct KeyPlace;

class DecodedKeyCache {
 public:
  // The decoded key kept for the stored bytes at the place, if any; no place is a key made
  // outside any keychain.
  const DecodedKey* find(const SecretBytes& stored) const;
  const DecodedKey* find(const SecretBytes& stored, const KeyPlace& place) const;
  // Keeps a key of the kind just decoded, loaded or created, letting go of the oldest keys kept
  // when there are more than the cache, or the kind, allows.
  DecodedKey remember(const SecretBytes& stored, DecodedKey decoded, const KeyKind& kind);
  DecodedKey remember(const SecretBytes& stored, const KeyPlace& place, DecodedKey decoded,
                      const KeyKind& kind);
  void forget_all() { entries_.clear(); }
  // Lets go of every key of the kind kept, so that the next use loads it again.
  void forget(const KeyKind& kind);

 private:
  struct Entry {
    SecretBytes stored;
    std::string keychain;
    std::int64_t row;
    DecodedKey decoded;
    const KeyKind* kind;
  };
  static constexpr std::size_t kCapacity = 8;
  std::vector<Entry> entries_;  // oldest first
};

}  // namespace ktarn::platform::software
