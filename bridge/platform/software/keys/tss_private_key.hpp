// The form a TPM key is stored in, as the tpm2 provider writes and reads it: the DER "TSS2
// PRIVATE KEY" structure
//
//   SEQUENCE { type OBJECT IDENTIFIER (a loadable key), [0] EXPLICIT BOOLEAN emptyAuth,
//              parent INTEGER, pubkey OCTET STRING, privkey OCTET STRING }
//
// whose strings hold the key's marshalled TPM2B_PUBLIC and TPM2B_PRIVATE. Written here for keys
// made with the TPM stack directly, byte for byte as the provider writes its own, so that it
// loads them as it loads those.
#pragma once

#include <cstdint>
#include <span>

#include "bridge/platform/attributes.hpp"

namespace ktarn::platform::software {

// The stored form of a key whose authorisation is empty and whose parent is the primary key the
// provider derives in the owner hierarchy.
Bytes encode_tss_private_key(std::span<const std::uint8_t> marshalled_public,
                             std::span<const std::uint8_t> marshalled_private);

}  // namespace ktarn::platform::software
