// One bridge call from start to end over an explicit platform: convert the inputs, check the key
// name's namespace, run the operation the word names, wrap its outcome in the response envelope
// and hand the serialised envelope back in a NUL-terminated buffer the caller owns. The exported
// ktarn_macos_call is this over the build's default platform.
#pragma once

#include <optional>

#include "bridge/operation_table.hpp"
#include "bridge/platform/platform.hpp"
#include "bridge/platform/value.hpp"

namespace ktarn::bridge {

// The buffer comes from the platform's allocator and is exactly text length + 1 bytes; it is
// released with free. NULL when no envelope could be produced (serialisation yielded nothing, or
// the allocation failed). Every platform object obtained during the call is released before it
// returns.
char* bridge_call(platform::Platform& platform, const char* key_name, const char* operation,
                  const char* argument);

// The response envelope every call answers with: {"ok": true, "result": ...} when the operation
// produced a result, {"ok": false, "error": message} otherwise. Only the presence of the result
// decides; the host reads the envelope back in any member order. With no result and no message,
// the error is "macOS operation failed"; a message left beside a result is dropped.
platform::Value response_envelope(std::optional<platform::Dictionary> result,
                                  const MessageSlot& error);

// The one answer to a platform exception, whatever the operation had gathered so far.
const platform::Value& fallback_envelope();

}  // namespace ktarn::bridge
