// Where the device key lives and when it may be used. The key is one RSA-2048 private key per key
// name in the user's login keychain, found by its application tag (the key name's UTF-8 bytes).
// The store opens the login keychain afresh for every lookup and refuses to go on while it is
// locked; a key it finds must pass the validation policy, and a key that fails the policy is
// neither used nor replaced nor removed. When no key exists and the caller asks for it, a
// conforming key is created and then found again through the keychain like any stored key.
#pragma once

#include <string>
#include <string_view>

#include "bridge/operation_table.hpp"
#include "bridge/platform/keychain.hpp"

namespace ktarn::bridge {

// "<label> failed (macOS OSStatus <status>). Check login Keychain access; the existing key was
// not replaced." with the status in signed decimal.
std::string keychain_failure_message(std::string_view label, platform::OSStatus status);

// The six members that identify the device key, with the opened login keychain as the only
// element of the search list, so the keychain stays open exactly as long as the query exists.
// None, with a message in the slot, when the keychain cannot be opened or is locked.
std::optional<platform::Attributes> login_keychain_query(platform::Keychain& keychain,
                                                         const platform::Bytes& application_tag,
                                                         MessageSlot& error);

// The device key of the key name (owned by the caller), or none with one message in the slot,
// which must be empty on entry. With create set, a missing key is created first.
platform::Ref copy_device_key(platform::Keychain& keychain, const std::string& key_name,
                              bool create, MessageSlot& error);

}  // namespace ktarn::bridge
