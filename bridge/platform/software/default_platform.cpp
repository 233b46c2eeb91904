// The build's default platform on Linux: the software foundation, keychain and desktop. Only the
// exported C functions reach for it; the software keychain may keep decoded keys between calls,
// which is why its instances live as long as the process.
#include "bridge/platform/platform.hpp"
#include "bridge/platform/software/desktop/software_desktop.hpp"
#include "bridge/platform/software/foundation/software_foundation.hpp"
#include "bridge/platform/software/keychain/software_keychain.hpp"

namespace ktarn::platform {

Platform& default_platform() {
  static software::SoftwareFoundation foundation;
  static software::SoftwareKeychain keychain;
  static software::SoftwareDesktop desktop;
  static Platform platform{foundation, keychain, desktop};
  return platform;
}

}  // namespace ktarn::platform
