// The fuzzers' view of one input: a cursor that hands out leading bytes as small choices (a
// script for a scripted platform or bridge) and leaves the rest as the data under test. Reading
// past the end gives zeros and empty texts, so every input, however short, is a complete script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ktarn::fuzzing {

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

class FuzzInput {
 public:
  explicit FuzzInput(std::span<const std::uint8_t> bytes) : rest_(bytes) {}

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const std::uint8_t value = rest_.front();
    rest_ = rest_.subspan(1);
    return value;
  }

  bool flag() { return (byte() & 1) != 0; }

  // Two bytes, big-endian.
  std::uint16_t word() {
    const std::uint16_t high = byte();
    return static_cast<std::uint16_t>((high << 8) | byte());
  }

  // Up to count bytes as text (any bytes, NUL included).
  std::string text(std::size_t count) {
    const std::size_t taken = std::min(count, rest_.size());
    std::string value(reinterpret_cast<const char*>(rest_.data()), taken);
    rest_ = rest_.subspan(taken);
    return value;
  }

  // A text whose length is the next byte.
  std::string short_text() { return text(byte()); }

  std::span<const std::uint8_t> rest() const { return rest_; }
  std::string_view rest_text() const {
    return {reinterpret_cast<const char*>(rest_.data()), rest_.size()};
  }

 private:
  std::span<const std::uint8_t> rest_;
};

}  // namespace ktarn::fuzzing
