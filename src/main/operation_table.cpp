#include "main/operation_table.hpp"

#include "macos/health_report.hpp"
#include "macos/native_bridge_client.hpp"
#include "macos/public_key_export.hpp"
#include "macos/request_signing.hpp"

namespace ktarn::host {
namespace {

using json::JsonValue;
using macos::OperationOutcome;

OperationOutcome run_health(const JsonValue&, std::string_view) {
  return macos::health_report();
}

// The bridge's answer for these two is the host's answer, unchanged.
OperationOutcome run_snapshot(const JsonValue&, std::string_view key_name) {
  return macos::call_native_bridge(key_name, "snapshot", "");
}

OperationOutcome run_delete_key(const JsonValue&, std::string_view key_name) {
  return macos::call_native_bridge(key_name, "delete-key", "");
}

OperationOutcome run_key(const JsonValue&, std::string_view key_name) {
  return macos::export_public_key(key_name);
}

OperationOutcome run_sign(const JsonValue& request, std::string_view key_name) {
  return macos::sign_request(key_name, request);
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
