// Binary values in the bridge's results. The bridge hands binary data (the public key's DER, a
// signature) to the host as a string member in standard Base64, and the host takes it only when
// the text is exactly what an encoder writes; each operation names its own two messages.
#pragma once

#include <string>
#include <string_view>

#include "json/json_value.hpp"
#include "macos/base64.hpp"
#include "support/expected.hpp"

namespace ktarn::macos {

struct BinaryMemberMessages {
  std::string_view missing;       // the member is absent or not a string
  std::string_view bad_encoding;  // the text is not strict standard Base64
};

using BinaryMember = Expected<Bytes, std::string>;

BinaryMember binary_member(const json::JsonValue& result, std::string_view name,
                           const BinaryMemberMessages& messages);

}  // namespace ktarn::macos
