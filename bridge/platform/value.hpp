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
  // Defined where Value is complete: clang checks the variant's alternatives while Value is still
  // being defined, and the member list cannot be destroyed or copied before then.
  Dictionary();
  Dictionary(const Dictionary&);
  Dictionary(Dictionary&&) noexcept;
  Dictionary& operator=(const Dictionary&);
  Dictionary& operator=(Dictionary&&) noexcept;
  ~Dictionary();

  std::vector<std::pair<std::string, Value>> members;  // names unique
  void set(std::string name, Value value);
  const Value* find(const std::string& name) const;
};

struct Value {
  std::variant<bool, std::int64_t, std::string, Array, Dictionary> data;
};

}  // namespace ktarn::platform
