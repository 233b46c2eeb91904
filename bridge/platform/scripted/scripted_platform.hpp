// The whole scripted platform for one test: foundation, keychain and desktop sharing one live
// counter, so a test can assert that a bridge call released every platform object it obtained.
#pragma once

#include "bridge/platform/platform.hpp"
#include "bridge/platform/scripted/scripted_desktop.hpp"
#include "bridge/platform/scripted/scripted_foundation.hpp"
#include "bridge/platform/scripted/scripted_keychain.hpp"

namespace ktarn::platform::scripted {

struct ScriptedPlatform {
  int live = 0;
  ScriptedFoundation foundation;
  ScriptedKeychain keychain{live};
  ScriptedDesktop desktop{live};

  platform::Platform platform() { return {foundation, keychain, desktop}; }
};

}  // namespace ktarn::platform::scripted
