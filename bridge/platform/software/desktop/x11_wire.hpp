// The X11 protocol's wire form as this client speaks it. The client names little-endian order in
// its opening, so every number each way is little-endian whatever the machine. A request is an
// opcode, one byte of data and its length in 4-byte units, then its fields; text is padded to
// whole units. Every packet from the server starts with 32 bytes; a reply's length says how many
// 4-byte units follow them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ktarn::platform::software::x11 {

// The size of every packet's fixed part: a whole event or error, a reply's head.
inline constexpr std::size_t kPacketSize = 32;

// The opcodes of the requests sent, and the replies' first byte.
inline constexpr std::uint8_t kInternAtom = 16;
inline constexpr std::uint8_t kGetProperty = 20;
inline constexpr std::uint8_t kQueryExtension = 98;
inline constexpr std::uint8_t kError = 0;
inline constexpr std::uint8_t kReply = 1;
inline constexpr std::uint8_t kGenericEvent = 35;  // the one event that is longer than its head

// A reply whole: its 32-byte head, then the units its length gives.
using Reply = std::vector<std::uint8_t>;

// Bytes to the next whole 4-byte unit.
constexpr std::size_t padding(std::size_t length) {
  return (4 - length % 4) % 4;
}

// One request, its length filled in once its fields are in place.
class Request {
 public:
  Request(std::uint8_t opcode, std::uint8_t data);
  Request& card8(std::uint8_t value);
  Request& card16(std::uint16_t value);
  Request& card32(std::uint32_t value);
  Request& text(std::string_view value);  // padded to a whole unit
  std::span<const std::uint8_t> bytes();

 private:
  std::vector<std::uint8_t> bytes_;
};

// Numbers at an offset the caller has checked lies within the bytes.
std::uint16_t card16(std::span<const std::uint8_t> bytes, std::size_t at);
std::uint32_t card32(std::span<const std::uint8_t> bytes, std::size_t at);

}  // namespace ktarn::platform::software::x11
