// The layer's edge: every seam operation runs its framework calls through guarded, inside a
// release scope of its own (so nothing the frameworks hand back for later release outlives the
// operation) and with every NSException turned into the seam's PlatformException, so that no
// Objective-C exception, and none of its text, reaches the bridge logic or the C interface.
// Other exceptions (memory exhaustion) pass through unchanged.
#pragma once

#include <type_traits>
#include <utility>

namespace ktarn::platform::macos {

// Runs body(context) in the release scope; throws PlatformException when it raised NSException.
void run_guarded(void (*body)(void*), void* context);

// Every seam result is default-constructible, which is what the result is before the body runs.
template <class Body>
std::invoke_result_t<Body&> guarded(Body&& body) {
  struct Call {
    Body& body;
    std::invoke_result_t<Body&> result{};
  } call{body};
  run_guarded(
      [](void* context) {
        auto& call = *static_cast<Call*>(context);
        call.result = call.body();
      },
      &call);
  return std::move(call.result);
}

}  // namespace ktarn::platform::macos
