// The build's default platform for the host's tests: a scripted one, so that a host test that
// reached the C interface would meet a script, never the user's keychain or desktop, and the host
// tests link no keychain, key store or display library.
#include "bridge/platform/platform.hpp"
#include "bridge/platform/scripted/scripted_platform.hpp"

namespace ktarn::platform {

Platform& default_platform() {
  static scripted::ScriptedPlatform scripted;
  static Platform platform = scripted.platform();
  return platform;
}

}  // namespace ktarn::platform
