#include "bridge/operation_table.hpp"

#include <algorithm>

#include "bridge/device_key_operations.hpp"
#include "bridge/environment_snapshot.hpp"

namespace ktarn::bridge {
namespace {

constexpr BridgeOperation kBridgeOperations[] = {
    {"snapshot", run_snapshot},
    {"delete-key", run_delete_key},
    {"key", run_key},
    {"sign", run_sign},
};

}  // namespace

std::span<const BridgeOperation> bridge_operations() {
  return kBridgeOperations;
}

const BridgeOperation* find_bridge_operation(const std::optional<std::string>& word) {
  if (!word) return nullptr;
  const auto operations = bridge_operations();
  const auto found = std::ranges::find_if(
      operations, [&word](const BridgeOperation& operation) { return operation.word == *word; });
  return found == operations.end() ? nullptr : &*found;
}

}  // namespace ktarn::bridge
