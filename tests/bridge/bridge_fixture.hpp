// What every bridge test stands on: a fresh scripted platform and a call helper that copies the
// returned text, releases the buffer, and checks the buffer's exact size and that the call left
// no platform reference alive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "bridge/bridge_call.hpp"
#include "bridge/platform/scripted/scripted_platform.hpp"

namespace ktarn::bridge::testing {

inline constexpr const char* kKeyName = "kTARN.Test.Key";
// The standard Base64 of 32 bytes 0x00..0x1f.
inline constexpr const char* kDigest = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

struct BridgeHarness {
  platform::scripted::ScriptedPlatform scripted;

  // The envelope text, or none for a NULL buffer.
  std::optional<std::string> call(const char* key_name, const char* operation,
                                  const char* argument = "") {
    platform::Platform platform = scripted.platform();
    char* buffer = bridge_call(platform, key_name, operation, argument);
    EXPECT_EQ(scripted.live, 0) << "a platform reference outlived the call";
    if (buffer == nullptr) return std::nullopt;
    std::string text(buffer);
    EXPECT_FALSE(scripted.foundation.allocations.empty());
    if (!scripted.foundation.allocations.empty()) {
      EXPECT_EQ(scripted.foundation.allocations.back(), text.size() + 1);
    }
    std::free(buffer);
    return text;
  }

  std::string call_text(const char* operation, const char* argument = "") {
    return call(kKeyName, operation, argument).value_or("<NULL>");
  }

  static std::string failure(const std::string& message) {
    return R"({"ok":false,"error":")" + message + R"("})";
  }

  std::size_t count_calls(const std::string& name) const {
    return static_cast<std::size_t>(
        std::count(scripted.keychain.calls.begin(), scripted.keychain.calls.end(), name));
  }
};

class BridgeTest : public ::testing::Test, public BridgeHarness {};

}  // namespace ktarn::bridge::testing
