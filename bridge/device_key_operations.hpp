// The bridge operations on the device key: "key" hands out the DER form of its public half,
// "sign" makes a PKCS #1 v1.5 signature over a SHA-256 digest the host computed, "delete-key"
// removes every item the key's base query matches. Binary values travel as standard Base64; the
// bridge formats nothing else. Every reference taken is released before the operation returns,
// and a failing operation leaves the keychain as it was.
#pragma once

#include "bridge/operation_table.hpp"

namespace ktarn::bridge {

// {"publicDer": Base64 of the public key's DER}. Creates the device key on first use.
std::optional<platform::Dictionary> run_key(platform::Platform& platform,
                                            const std::string& key_name,
                                            const std::optional<std::string>& argument,
                                            MessageSlot& error);

// {"signature": Base64 of the signature} over the 32-byte digest the argument carries in
// standard Base64. The key is obtained before the argument is looked at, so even a bad digest
// creates the device key on a keychain that has none.
std::optional<platform::Dictionary> run_sign(platform::Platform& platform,
                                             const std::string& key_name,
                                             const std::optional<std::string>& argument,
                                             MessageSlot& error);

// {"deleted": 1} when matching items were removed, {"deleted": 0} when nothing matched; integers,
// not booleans. Never creates anything.
std::optional<platform::Dictionary> run_delete_key(platform::Platform& platform,
                                                   const std::string& key_name,
                                                   const std::optional<std::string>& argument,
                                                   MessageSlot& error);

}  // namespace ktarn::bridge
