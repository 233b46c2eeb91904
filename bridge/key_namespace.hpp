// The bridge's own test of the application key name, made on every call whatever the host has
// already checked: device keys are only ever looked up, created or removed under names of the
// application's namespace, so a name from elsewhere can never reach another program's keys.
#pragma once

#include <optional>
#include <string>

namespace ktarn::bridge {

inline constexpr std::string_view kApplicationKeyPrefix = "kTARN.";
// Measured in UTF-16 code units, as the platform's strings count them.
inline constexpr std::size_t kMaxApplicationKeyLength = 120;

// Present, beginning with the exact prefix (letter case included), and at most 120 UTF-16 code
// units long. The name is well-formed UTF-8, as every converted input is.
bool is_application_key_name(const std::optional<std::string>& key_name);

}  // namespace ktarn::bridge
