// The two inputs of ktarn-verify, read whole: a named file or standard input ("-"). A companion
// answer is at most some 45 kilobytes (its payload text is held to the verifier's limit), so
// reading stops at 1 MiB; longer input, or input that never ends, is an input failure like an
// unreadable file rather than being read without bound or taken for something it is not.
#pragma once

#include <optional>
#include <string>

#include "base/expected.hpp"
#include "json/json_value.hpp"

namespace ktarn::verifier::cli {

inline constexpr std::size_t kMaxInputBytes = 1 << 20;

// The parsed input, or null when its bytes are not one JSON value (the verifier then names the
// input that is not an object); a failure to open or read, or input over kMaxInputBytes, is the
// one-line usage error.
Expected<json::JsonValue, std::string> read_input(const std::string& path);

}  // namespace ktarn::verifier::cli
