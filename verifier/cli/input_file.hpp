// The two inputs of ktarn-verify, read whole: a named file or standard input ("-"). A companion
// answer is at most a few tens of kilobytes, so reading stops a little past the largest one the
// verifier could accept; longer input, or input that never ends, is refused as not a JSON object
// instead of being read without bound.
#pragma once

#include <optional>
#include <string>

#include "base/expected.hpp"
#include "json/json_value.hpp"

namespace ktarn::verifier::cli {

inline constexpr std::size_t kMaxInputBytes = 1 << 20;

// The parsed input, or null when its bytes are not one JSON value (the verifier then names the
// input that is not an object); a failure to open or read is the one-line usage error.
Expected<json::JsonValue, std::string> read_input(const std::string& path);

}  // namespace ktarn::verifier::cli
