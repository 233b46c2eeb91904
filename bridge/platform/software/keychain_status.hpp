// The status codes the software keychain reports, each the code a user of the login keychain
// would look up for that situation, and the translation of operating-system and database
// failures into them. Every failure of the keychain files and the database ends here, so the
// mapping the administration tool documents is this file.
#pragma once

#include "base/expected.hpp"
#include "bridge/platform/keychain.hpp"

namespace ktarn::platform::software {

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

// A failed system call on the keychain's folders or file, by errno.
OSStatus status_from_errno(int error_number);
// A failed database call, by its (extended) result code.
OSStatus status_from_sqlite(int result_code);

}  // namespace ktarn::platform::software
