// One connection to the X11 display server named by DISPLAY, for the span of one question. The
// protocol is read here rather than by a library, so that nothing the server states is believed
// before it is checked: a reply longer than its request can be answered with is refused before
// its bytes are read; events, which this client never asks for, are read and dropped; and all
// the server sends after its greeting counts against a small budget, past which the question
// fails. Every wait, connecting included, ends at the question's deadline, so a server that
// accepts and never answers costs no more than that. A failed connection is asked nothing more:
// each failure is handed back to the question, which gives up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/file_descriptor.hpp"
#include "bridge/platform/software/desktop/display_backend.hpp"
#include "bridge/platform/software/desktop/x11_wire.hpp"

namespace ktarn::platform::software {

// All a question may cost in bytes from the server after its greeting: the replies a desktop
// asks for come to a few hundred, a monitor list to a few kilobytes.
inline constexpr std::size_t kQuestionBudget = 64 * 1024;

class X11Connection {
 public:
  // Connects to the server DISPLAY names, presents the user's cookie and reads the greeting.
  static DisplayAnswer<X11Connection> open(Deadline deadline);

  // The root window of the screen DISPLAY chose.
  std::uint32_t root() const { return root_; }

  // Sends one request and reads its reply whole, with at most most_body bytes past its head.
  // A refusal is kNoAnswer; a reply or refusal to another request, a reply longer than
  // most_body, or more than the budget is kFalseReply.
  DisplayAnswer<x11::Reply> ask(x11::Request& request, std::size_t most_body);

 private:
  X11Connection(FileDescriptor socket, Deadline deadline);

  bool greet(std::string_view cookie_kind, std::string_view cookie, int screen);
  bool send(std::span<const std::uint8_t> bytes);
  bool receive(std::span<std::uint8_t> into);  // exactly that many bytes
  bool skip(std::size_t count);
  bool fill();                   // more bytes from the server into the inbound buffer
  bool take(std::size_t count);  // counts bytes against the budget before they are read
  bool fail(DisplayFailure failure);

  FileDescriptor socket_;
  Deadline deadline_;
  DisplayFailure failure_ = DisplayFailure::kNoAnswer;
  std::uint16_t sequence_ = 0;  // the last request's number, as the server counts them
  std::size_t taken_ = 0;       // bytes counted against the budget
  std::uint32_t root_ = 0;
  std::array<std::uint8_t, 4096> inbound_{};
  std::size_t inbound_at_ = 0;
  std::size_t inbound_end_ = 0;
};

}  // namespace ktarn::platform::software
