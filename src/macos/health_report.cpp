#include "macos/health_report.hpp"

namespace ktarn::macos {

json::JsonValue health_report() {
  using json::JsonValue;
  JsonValue capabilities = JsonValue::array();
  for (const char* capability : {"deviceKey", "foreground", "displays", "processes"}) {
    capabilities.push_back(JsonValue::string(capability));
  }
  JsonValue report = JsonValue::object();
  report.insert("attestation", JsonValue::boolean(false));
  report.insert("capabilities", std::move(capabilities));
  report.insert("captureProtection", JsonValue::string("not-enforced"));
  report.insert("keyStorage", JsonValue::string("login-keychain"));
  report.insert("managedLockdown", JsonValue::boolean(false));
  report.insert("platform", JsonValue::string("macos"));
  report.insert("version", JsonValue::string("0.1.0"));
  return report;
}

}  // namespace ktarn::macos
