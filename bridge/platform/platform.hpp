// The platform layer as the bridge logic receives it: one seam per concern. The logic is always
// handed a Platform explicitly; only the exported C functions take the build's default.
#pragma once

#include "bridge/platform/desktop.hpp"
#include "bridge/platform/foundation.hpp"
#include "bridge/platform/keychain.hpp"

namespace ktarn::platform {

struct Platform {
  Foundation& foundation;
  Keychain& keychain;
  Desktop& desktop;
};

// The build's default platform (the software platform on Linux). Used only by the exported
// functions of the C interface.
Platform& default_platform();

}  // namespace ktarn::platform
