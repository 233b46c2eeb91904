// The build's default platform on macOS. The layer keeps nothing between calls: every operation
// asks the frameworks afresh.
#include "bridge/platform/macos/macos_platform.hpp"
#include "bridge/platform/platform.hpp"

namespace ktarn::platform {

Platform& default_platform() {
  static macos::MacosFoundation foundation;
  static macos::MacosKeychain keychain;
  static macos::MacosDesktop desktop;
  static Platform platform{foundation, keychain, desktop};
  return platform;
}

}  // namespace ktarn::platform
