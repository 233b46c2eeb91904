// The response envelope every bridge call answers with: {"ok": true, "result": ...} when the
// operation produced a result, {"ok": false, "error": message} otherwise. Only the presence of the
// result decides; the host reads the envelope back in any member order.
#pragma once

#include <optional>

#include "bridge/operation.hpp"
#include "bridge/platform/value.hpp"

namespace ktarn::bridge {

// With no result and no message, the error is "macOS operation failed"; a message left beside a
// result is dropped.
platform::Value response_envelope(std::optional<platform::Dictionary> result,
                                  const MessageSlot& error);

// The one answer to a platform exception, whatever the operation had gathered so far.
const platform::Value& fallback_envelope();

}  // namespace ktarn::bridge
