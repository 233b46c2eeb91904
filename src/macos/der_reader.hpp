// The DER reader behind the "key" operation's validation of the device key's public half. It
// admits only canonical DER of the two element kinds an RSA public key is made of (SEQUENCE and
// INTEGER), so that one key has exactly one accepted encoding. A ByteReader only moves forward and
// every read goes through one length-checked primitive, so a failed read never moves it; nested
// structures are read through a second reader over an element's contents, and the caller checks
// for trailing bytes itself. Each failure is one of the fixed messages the browser sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "base/base64.hpp"
#include "base/expected.hpp"

namespace ktarn::macos {

inline constexpr std::uint8_t kDerSequence = 0x30;
inline constexpr std::uint8_t kDerInteger = 0x02;

class ByteReader {
 public:
  explicit ByteReader(ByteView bytes) : rest_(bytes) {}

  std::size_t remaining() const { return rest_.size(); }
  bool empty() const { return rest_.empty(); }

  // The next count bytes, and the reader moves past them; nothing, and the reader stays, when
  // fewer remain.
  std::optional<ByteView> take(std::size_t count);

 private:
  ByteView rest_;
};

// Failures are the system's fixed messages; successes are views into the reader's bytes.
using DerView = Expected<ByteView, std::string>;

// The contents of the next element, which must carry the expected identifier octet and a
// canonical length; on success the reader has moved past the element, on failure it stays.
DerView read_der_element(ByteReader& reader, std::uint8_t expected_identifier);

// The magnitude of a positive INTEGER given its contents: the bytes without the sign octet that
// DER requires exactly when the top bit of the first magnitude byte is set.
DerView positive_integer_bytes(ByteView contents);

}  // namespace ktarn::macos
