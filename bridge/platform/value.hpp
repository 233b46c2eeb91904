// Result values: what the bridge's operations put into a response envelope, in the platform's own
// terms (a dictionary of strings, integers, booleans, arrays and dictionaries). The platform's
// serialiser turns them into JSON text; a dictionary has no defined member order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace ktarn::platform {

struct Value;
using Array = std::vector<Value>;

struct Dictionary {
  std::vector<std::pair<std::string, Value>> members;  // names unique
  void set(std::string name, Value value);
  const Value* find(const std::string& name) const;
};

struct Value {
  std::variant<bool, std::int64_t, std::string, Array, Dictionary> data;
};

}  // namespace ktarn::platform
