// The backend of a build without a display server's client: there is no server to ask.
#include "bridge/platform/software/desktop/display_backend.hpp"

namespace ktarn::platform::software {

DisplayAnswer<std::uint32_t> count_active_displays(Deadline /*deadline*/) {
  return Unexpected(DisplayFailure::kNoServer);
}

DisplayAnswer<std::optional<ActiveWindow>> find_active_window(Deadline /*deadline*/) {
  return Unexpected(DisplayFailure::kNoServer);
}

}  // namespace ktarn::platform::software
