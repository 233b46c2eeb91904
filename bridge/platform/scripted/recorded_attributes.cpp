#include "bridge/platform/scripted/recorded_attributes.hpp"

#include <type_traits>

#include "bridge/platform/scripted/scripted_keychain.hpp"

namespace ktarn::platform::scripted {
namespace {

std::string describe_object(const SharedRef& object) {
  if (const auto* keychain = dynamic_cast<const ScriptedKeychain::KeychainObject*>(object.get())) {
    return "keychain " + keychain->path;
  }
  return object ? "object" : "null";
}

std::string describe_list(const std::vector<SharedRef>& list) {
  std::string text = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    text += (i > 0 ? ", " : "") + describe_object(list[i]);
  }
  return text + "]";
}

void record_into(RecordedAttributes& record, const std::string& prefix,
                 const Attributes& attributes) {
  for (const auto& [name, value] : attributes.members) {
    const std::string key = prefix + std::string(attr_name(name));
    std::visit(
        [&](const auto& data) {
          using T = std::decay_t<decltype(data)>;
          if constexpr (std::is_same_v<T, bool>)
            record[key] = data ? "true" : "false";
          else if constexpr (std::is_same_v<T, std::int64_t>)
            record[key] = std::to_string(data);
          else if constexpr (std::is_same_v<T, std::string>)
            record[key] = "\"" + data + "\"";
          else if constexpr (std::is_same_v<T, Bytes>)
            record[key] = "<" + std::string(data.begin(), data.end()) + ">";
          else if constexpr (std::is_same_v<T, Constant>)
            record[key] = constant_name(data);
          else if constexpr (std::is_same_v<T, std::vector<SharedRef>>)
            record[key] = describe_list(data);
          else if constexpr (std::is_same_v<T, SharedRef>)
            record[key] = describe_object(data);
          else if (data)
            record_into(record, key + ".", *data);
          else
            record[key] = "null";
        },
        value);
  }
}

}  // namespace

RecordedAttributes record_attributes(const Attributes& attributes) {
  RecordedAttributes record;
  record_into(record, "", attributes);
  return record;
}

}  // namespace ktarn::platform::scripted
