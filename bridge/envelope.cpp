#include "bridge/envelope.hpp"

namespace ktarn::bridge {
namespace {

platform::Value failure_envelope(std::string message) {
  platform::Dictionary envelope;
  envelope.set("ok", platform::Value{false});
  envelope.set("error", platform::Value{std::move(message)});
  return platform::Value{std::move(envelope)};
}

}  // namespace

platform::Value response_envelope(std::optional<platform::Dictionary> result,
                                  const MessageSlot& error) {
  if (!result) return failure_envelope(error.value_or("macOS operation failed"));
  platform::Dictionary envelope;
  envelope.set("ok", platform::Value{true});
  envelope.set("result", platform::Value{std::move(*result)});
  return platform::Value{std::move(envelope)};
}

const platform::Value& fallback_envelope() {
  static const platform::Value kFallback =
      failure_envelope("macOS native framework operation failed");
  return kFallback;
}

}  // namespace ktarn::bridge
