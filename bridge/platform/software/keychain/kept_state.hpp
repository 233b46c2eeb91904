// Whether the keychain keeps what it may between calls: the connection of the last keychain
// opened (with its held folder, its proof from the folders' entries that nothing changed, and
// its knowledge of a quiet folder) and the read a status check begins for the lookup after it.
// Each is proven still valid before use, so none may change an answer; a build made with
// -DKTARN_KEYCHAIN_KEEPS_STATE=OFF keeps none of them, and CI runs the suites against one to
// show that they do not.
#pragma once

namespace ktarn::platform::software {

inline constexpr bool kKeychainKeepsState = KTARN_KEYCHAIN_KEEPS_STATE;

}  // namespace ktarn::platform::software
