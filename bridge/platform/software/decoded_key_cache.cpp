#include "bridge/platform/software/decoded_key_cache.hpp"

namespace ktarn::platform::software {

Pkey DecodedKeyCache::decode(const SecretBytes& stored) {
  for (const auto& [bytes, key] : entries_) {
    if (bytes == stored) return key;
  }
  Pkey key = decode_rsa_private_key(stored.view());
  if (key) remember(stored, key);
  return key;
}

void DecodedKeyCache::remember(const SecretBytes& stored, Pkey key) {
  if (entries_.size() == kCapacity) entries_.erase(entries_.begin());
  entries_.emplace_back(stored, std::move(key));
}

}  // namespace ktarn::platform::software
