#include "bridge/platform/software/desktop/x11_wire.hpp"

namespace ktarn::platform::software::x11 {

Request::Request(std::uint8_t opcode, std::uint8_t data) : bytes_{opcode, data, 0, 0} {}

Request& Request::card8(std::uint8_t value) {
  bytes_.push_back(value);
  return *this;
}

Request& Request::card16(std::uint16_t value) {
  bytes_.push_back(static_cast<std::uint8_t>(value));
  bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
  return *this;
}

Request& Request::card32(std::uint32_t value) {
  card16(static_cast<std::uint16_t>(value));
  return card16(static_cast<std::uint16_t>(value >> 16));
}

Request& Request::text(std::string_view value) {
  bytes_.insert(bytes_.end(), value.begin(), value.end());
  bytes_.insert(bytes_.end(), padding(value.size()), 0);
  return *this;
}

// Every request sent here is a few units long, far below the 16-bit length's reach.
std::span<const std::uint8_t> Request::bytes() {
  const auto units = static_cast<std::uint16_t>(bytes_.size() / 4);
  bytes_[2] = static_cast<std::uint8_t>(units);
  bytes_[3] = static_cast<std::uint8_t>(units >> 8);
  return bytes_;
}

std::uint16_t card16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint32_t card32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return card16(bytes, at) | (static_cast<std::uint32_t>(card16(bytes, at + 2)) << 16);
}

}  // namespace ktarn::platform::software::x11
