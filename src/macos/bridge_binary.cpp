#include "macos/bridge_binary.hpp"

#include <optional>

namespace ktarn::macos {

BinaryMember binary_member(const json::JsonValue& result, std::string_view name,
                           const BinaryMemberMessages& messages) {
  const json::JsonValue* member = json::find_member(result, name);
  if (member == nullptr || !member->as_string()) {
    return Unexpected(std::string(messages.missing));
  }
  std::optional<Bytes> bytes = base64_decode_strict(*member->as_string());
  if (!bytes) return Unexpected(std::string(messages.bad_encoding));
  return std::move(*bytes);
}

}  // namespace ktarn::macos
