#include "bridge/platform/value.hpp"

namespace ktarn::platform {

Dictionary::Dictionary() = default;
Dictionary::Dictionary(const Dictionary&) = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary&) = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

void Dictionary::set(std::string name, Value value) {
  for (auto& member : members) {
    if (member.first == name) {
      member.second = std::move(value);
      return;
    }
  }
  members.emplace_back(std::move(name), std::move(value));
}

const Value* Dictionary::find(const std::string& name) const {
  for (const auto& member : members) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

}  // namespace ktarn::platform
