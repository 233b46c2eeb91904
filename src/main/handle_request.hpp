// handle_request: one parsed request in, one response object out. It reads the request's "id"
// and "type", runs the operation the type names, and wraps the outcome into the response object
// ({"id","ok","result"} or {"error","id","ok"}). An "id" longer than 80 bytes is the one request
// that gets no response at all: the caller must end the request loop.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "json/json_value.hpp"
#include "json/parse_json.hpp"

namespace ktarn::host {

inline constexpr std::size_t kMaxRequestIdBytes = 80;
inline constexpr std::string_view kUnsupportedOperation = "Unsupported native operation";

// The response object, or none when the loop must end without answering.
std::optional<json::JsonValue> handle_request(const json::JsonValue& request,
                                              const json::RootMemberTexts& texts,
                                              std::string_view key_name);

}  // namespace ktarn::host
