// The status codes a keychain reports, each the code a user of the login keychain would look up
// for that situation. Every platform's keychain and key storage speaks these; how each failure of
// a file, a database or a key store becomes one of them is the platform's own mapping.
#pragma once

#include "base/expected.hpp"
#include "bridge/platform/keychain.hpp"

namespace ktarn::platform {

// A value, or the status code that says why there is none.
template <class T>
using StatusOr = Expected<T, OSStatus>;

inline constexpr OSStatus errSecDskFull = -34;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecWrPerm = -61;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecInternalComponent = -2070;
inline constexpr OSStatus errSecReadOnly = -25292;
inline constexpr OSStatus errSecNoSuchKeychain = -25294;
inline constexpr OSStatus errSecInvalidKeychain = -25295;
inline constexpr OSStatus errSecDuplicateKeychain = -25296;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecNoDefaultKeychain = -25307;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecKeySizeNotAllowed = -25311;
inline constexpr OSStatus errSecDataNotAvailable = -25316;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecServiceNotAvailable = -67585;
inline constexpr OSStatus errSecQuotaExceeded = -67596;

}  // namespace ktarn::platform
