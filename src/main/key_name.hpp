// The application key name: chosen once from the command line, checked against the "kTARN."
// namespace, and then passed unchanged to every operation for the life of the process. Only
// names in the namespace may ever name a key in the login keychain.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace ktarn::host {

inline constexpr std::string_view kDefaultKeyName = "kTARN.SealedBrowser.Demo.v1";
inline constexpr std::string_view kKeyNamePrefix = "kTARN.";
inline constexpr std::size_t kMaxKeyNameBytes = 120;
inline constexpr std::string_view kKeyNameFlag = "--key-name";
inline constexpr std::string_view kKeyNameRejection = "Invalid key namespace\n";

// The argument right after the first exact "--key-name" among all arguments but the last
// (argument 0 included), taken as it is; the default when there is none.
std::string_view choose_key_name(std::span<const std::string_view> arguments);

// 6 to 120 bytes of valid UTF-8 beginning with "kTARN.".
bool is_valid_key_name(std::string_view name);

}  // namespace ktarn::host
