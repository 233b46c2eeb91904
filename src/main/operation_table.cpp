#include "main/operation_table.hpp"

#include <utility>

#include "macos/native_bridge_client.hpp"
#include "macos/public_key_export.hpp"
#include "macos/request_signing.hpp"

namespace ktarn::host {
namespace {

using json::JsonValue;
using macos::OperationOutcome;

// A constant self-description of the companion and its capabilities, built anew for every
// request; it never reflects the state of the machine.
OperationOutcome run_health(const JsonValue&, const json::RootMemberTexts&, std::string_view) {
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

// The bridge's answer for these two is the host's answer, unchanged.
OperationOutcome run_snapshot(const JsonValue&, const json::RootMemberTexts&,
                              std::string_view key_name) {
  return macos::call_native_bridge(key_name, "snapshot", "");
}

OperationOutcome run_delete_key(const JsonValue&, const json::RootMemberTexts&,
                                std::string_view key_name) {
  return macos::call_native_bridge(key_name, "delete-key", "");
}

OperationOutcome run_key(const JsonValue&, const json::RootMemberTexts&,
                         std::string_view key_name) {
  return macos::export_public_key(key_name);
}

OperationOutcome run_sign(const JsonValue& request, const json::RootMemberTexts& texts,
                          std::string_view key_name) {
  return macos::sign_request(key_name, request, texts.canonical_text("payload"));
}

constexpr Operation kOperations[] = {
    {"health", &run_health}, {"snapshot", &run_snapshot}, {"delete-key", &run_delete_key},
    {"key", &run_key},       {"sign", &run_sign},
};

}  // namespace

const Operation* find_operation(std::string_view word) {
  for (const Operation& operation : kOperations) {
    if (operation.word == word) return &operation;
  }
  return nullptr;
}

}  // namespace ktarn::host
