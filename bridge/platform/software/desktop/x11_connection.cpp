#include "bridge/platform/software/desktop/x11_connection.hpp"

#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "bridge/platform/software/desktop/x11_authorisation.hpp"
#include "bridge/platform/software/desktop/x11_socket.hpp"

namespace ktarn::platform::software {
namespace {

// The greeting's first bytes: its outcome, the protocol version and the length of the rest.
constexpr std::size_t kGreetingHead = 8;
constexpr std::uint8_t kAdmitted = 1;
// The fixed part of the rest of the greeting, of each screen, and of each depth a screen lists;
// the size of each pixmap format and of each visual.
constexpr std::size_t kSetupFixed = 32;
constexpr std::size_t kScreenFixed = 40;
constexpr std::size_t kDepthFixed = 8;
constexpr std::size_t kFormatSize = 8;
constexpr std::size_t kVisualSize = 24;

// The root window of the given screen in the rest of the greeting; none when the greeting does
// not hold what it lists up to that screen, or lists no such screen.
std::optional<std::uint32_t> root_of_screen(std::span<const std::uint8_t> setup, int screen) {
  if (setup.size() < kSetupFixed || screen < 0 || screen >= setup[20]) return std::nullopt;
  std::size_t at = kSetupFixed;
  const std::size_t vendor = x11::card16(setup, 16);
  at += vendor + x11::padding(vendor) + kFormatSize * setup[21];
  for (int skipped = 0;; ++skipped) {
    if (setup.size() < at + kScreenFixed) return std::nullopt;
    if (skipped == screen) return x11::card32(setup, at);
    const std::size_t depths = setup[at + 39];
    at += kScreenFixed;
    for (std::size_t depth = 0; depth < depths; ++depth) {
      if (setup.size() < at + kDepthFixed) return std::nullopt;
      at += kDepthFixed + kVisualSize * x11::card16(setup, at + 2);
    }
  }
}

}  // namespace

X11Connection::X11Connection(FileDescriptor socket, Deadline deadline)
    : socket_(std::move(socket)), deadline_(deadline) {}

DisplayAnswer<X11Connection> X11Connection::open(Deadline deadline) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return Unexpected(DisplayFailure::kNoServer);
  std::optional<DisplaySocket> server = connect_display(name, deadline);
  if (!server) return Unexpected(DisplayFailure::kNoAnswer);
  const X11Authorisation cookie(server->socket.get(), server->display);
  X11Connection connection(std::move(server->socket), deadline);
  if (!connection.greet(cookie.kind(), cookie.secret(), server->screen)) {
    return Unexpected(connection.failure_);
  }
  return connection;
}

// The opening names little-endian order and protocol 11.0, with the cookie; the server's
// greeting is at most 256 KiB by its 16-bit length, and is read whole.
bool X11Connection::greet(std::string_view cookie_kind, std::string_view cookie, int screen) {
  std::vector<std::uint8_t> sent{'l', 0, 11, 0, 0, 0};
  // Room for all of it at once, so that no copy of the secret is left behind by a reallocation.
  sent.reserve(12 + cookie_kind.size() + cookie.size() + 6);
  for (const std::size_t length : {cookie_kind.size(), cookie.size(), std::size_t{0}}) {
    sent.push_back(static_cast<std::uint8_t>(length));
    sent.push_back(static_cast<std::uint8_t>(length >> 8));
  }
  for (const std::string_view part : {cookie_kind, cookie}) {
    sent.insert(sent.end(), part.begin(), part.end());
    sent.insert(sent.end(), x11::padding(part.size()), 0);
  }
  const bool opened = send(sent);
  OPENSSL_cleanse(sent.data(), sent.size());
  if (!opened) return false;
  std::array<std::uint8_t, kGreetingHead> head{};
  if (!receive(head)) return false;
  if (head[0] != kAdmitted) return fail(DisplayFailure::kNoAnswer);
  std::vector<std::uint8_t> setup(std::size_t{x11::card16(head, 6)} * 4);
  if (!receive(setup)) return false;
  if (setup.size() >= kSetupFixed && screen >= setup[20]) return fail(DisplayFailure::kNoAnswer);
  const std::optional<std::uint32_t> root = root_of_screen(setup, screen);
  if (!root) return fail(DisplayFailure::kFalseReply);
  root_ = *root;
  return true;
}

DisplayAnswer<x11::Reply> X11Connection::ask(x11::Request& request, std::size_t most_body) {
  ++sequence_;
  if (!send(request.bytes())) return Unexpected(failure_);
  std::array<std::uint8_t, x11::kPacketSize> head{};
  for (;;) {
    if (!take(head.size()) || !receive(head)) return Unexpected(failure_);
    const bool answers_this = x11::card16(head, 2) == sequence_;
    if (head[0] == x11::kError) {
      return Unexpected(answers_this ? DisplayFailure::kNoAnswer : DisplayFailure::kFalseReply);
    }
    const std::size_t more = std::size_t{x11::card32(head, 4)} * 4;
    if (head[0] == x11::kReply) {
      if (!answers_this || more > most_body) return Unexpected(DisplayFailure::kFalseReply);
      if (!take(more)) return Unexpected(failure_);
      x11::Reply reply(x11::kPacketSize + more);
      std::copy(head.begin(), head.end(), reply.begin());
      if (!receive(std::span(reply).subspan(x11::kPacketSize))) return Unexpected(failure_);
      return reply;
    }
    // An event; the top bit marks one another client sent.
    if ((head[0] & 0x7F) == x11::kGenericEvent && !(take(more) && skip(more))) {
      return Unexpected(failure_);
    }
  }
}

bool X11Connection::fail(DisplayFailure failure) {
  failure_ = failure;
  return false;
}

bool X11Connection::take(std::size_t count) {
  if (count > kQuestionBudget - taken_) return fail(DisplayFailure::kFalseReply);
  taken_ += count;
  return true;
}

bool X11Connection::send(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || errno != EAGAIN) return fail(DisplayFailure::kNoAnswer);
    pollfd writable{socket_.get(), POLLOUT, 0};
    if (poll(&writable, 1, milliseconds_left(deadline_)) == 0) {
      return fail(DisplayFailure::kNoAnswer);
    }
  }
  return true;
}

bool X11Connection::fill() {
  for (;;) {
    // A server that keeps sending is held to the deadline too.
    if (std::chrono::steady_clock::now() >= deadline_) return fail(DisplayFailure::kNoAnswer);
    const ssize_t got = ::recv(socket_.get(), inbound_.data(), inbound_.size(), 0);
    if (got > 0) {
      inbound_at_ = 0;
      inbound_end_ = static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return fail(DisplayFailure::kNoAnswer);
    pollfd readable{socket_.get(), POLLIN, 0};
    if (errno == EAGAIN && poll(&readable, 1, milliseconds_left(deadline_)) == 0) {
      return fail(DisplayFailure::kNoAnswer);
    }
  }
}

bool X11Connection::receive(std::span<std::uint8_t> into) {
  while (!into.empty()) {
    if (inbound_at_ == inbound_end_ && !fill()) return false;
    const std::size_t count = std::min(into.size(), inbound_end_ - inbound_at_);
    std::copy_n(inbound_.begin() + static_cast<std::ptrdiff_t>(inbound_at_), count, into.begin());
    inbound_at_ += count;
    into = into.subspan(count);
  }
  return true;
}

bool X11Connection::skip(std::size_t count) {
  while (count > 0) {
    if (inbound_at_ == inbound_end_ && !fill()) return false;
    const std::size_t skipped = std::min(count, inbound_end_ - inbound_at_);
    inbound_at_ += skipped;
    count -= skipped;
  }
  return true;
}

}  // namespace ktarn::platform::software
