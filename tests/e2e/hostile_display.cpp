#include "e2e/hostile_display.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string_view>

#include "e2e/silent_display.hpp"

namespace ktarn::e2e {
namespace {

constexpr int kFirstDisplayPort = 6000;
constexpr std::uint32_t kRoot = 0x100;  // as the greeting states
constexpr std::uint32_t kActiveWindow = 0x400001;
constexpr std::uint8_t kRandrOpcode = 140;
constexpr std::uint32_t kActiveWindowAtom = 300;
constexpr std::uint32_t kPidAtom = 301;
constexpr std::uint32_t kWmClassAtom = 67;
constexpr std::uint32_t kCardinalAtom = 6;
constexpr std::uint32_t kStringAtom = 31;
constexpr std::uint32_t kWindowAtom = 33;

void put(std::string& bytes, std::uint32_t value, int size) {
  for (int at = 0; at < size; ++at) bytes.push_back(static_cast<char>(value >> (8 * at)));
}

std::uint32_t get(std::string_view bytes, std::size_t at, int size) {
  std::uint32_t value = 0;
  for (int byte = size - 1; byte >= 0; --byte) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(byte)]);
  }
  return value;
}

// A reply's 32-byte head: its first data byte, the request's number, the units that follow, and
// 24 bytes of fields.
std::string reply_head(std::uint8_t data, std::uint16_t sequence, std::uint32_t units,
                       const std::string& fields) {
  std::string head{1, static_cast<char>(data)};
  put(head, sequence, 2);
  put(head, units, 4);
  head += fields;
  head.resize(32, '\0');
  return head;
}

// Waits for the socket to be ready to read (events POLLIN) or write (POLLOUT); false when the
// peer went, or the server is stopping.
bool ready(int socket, short events, const std::atomic<bool>& stopping) {
  while (!stopping) {
    pollfd waiting{socket, events, 0};
    const int got = poll(&waiting, 1, 50);
    if (got > 0) return (waiting.revents & events) != 0;
    if (got < 0) return false;
  }
  return false;
}

bool read_exactly(int socket, std::string& into, std::size_t count,
                  const std::atomic<bool>& stopping) {
  into.assign(count, '\0');
  for (std::size_t at = 0; at < count;) {
    if (!ready(socket, POLLIN, stopping)) return false;
    const ssize_t got = read(socket, into.data() + at, count - at);
    if (got <= 0) return false;
    at += static_cast<std::size_t>(got);
  }
  return true;
}

bool write_all(int socket, std::string_view bytes, const std::atomic<bool>& stopping) {
  while (!bytes.empty()) {
    if (!ready(socket, POLLOUT, stopping)) return false;
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

}  // namespace

HostileDisplay::HostileDisplay(Lie lie, pid_t pid, std::string wm_class)
    : lie_(lie), pid_(pid), wm_class_(std::move(wm_class)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  const int port = ntohs(address.sin_port);  // an ephemeral port, above the first display's
  if (port <= kFirstDisplayPort) return;
  server_ = std::thread(&HostileDisplay::serve, this);
  display_name_ = "127.0.0.1:" + std::to_string(port - kFirstDisplayPort);
}

HostileDisplay::~HostileDisplay() {
  stopping_ = true;
  if (server_.joinable()) server_.join();
  if (listener_ >= 0) close(listener_);
}

void HostileDisplay::serve() {
  while (ready(listener_, POLLIN, stopping_)) {
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    converse(client);
    close(client);
  }
}

// The client's opening (12 bytes, then the cookie's kind and secret, each padded), the greeting,
// then one answer per request until the client goes.
void HostileDisplay::converse(int client) {
  std::string opening;
  if (!read_exactly(client, opening, 12, stopping_)) return;
  const auto padded = [](std::uint32_t length) { return length + (4 - length % 4) % 4; };
  std::string cookie;
  std::string greeting = x11_greeting();
  // A vendor name of 8 bytes stated and none sent: the screen that follows is 8 bytes short.
  if (lie_ == Lie::kGreetingOverstated) greeting[24] = 8;
  if (!read_exactly(client, cookie, padded(get(opening, 6, 2)) + padded(get(opening, 8, 2)),
                    stopping_) ||
      !write_all(client, greeting, stopping_)) {
    return;
  }
  for (std::uint16_t sequence = 1;; ++sequence) {
    std::string head;
    std::string rest;
    if (!read_exactly(client, head, 4, stopping_) ||
        !read_exactly(client, rest, get(head, 2, 2) * 4 - 4, stopping_) ||
        !answer(client, head + rest, sequence)) {
      return;
    }
  }
}

bool HostileDisplay::stream(int client, const std::string& head, const std::string& filler) {
  if (!write_all(client, head, stopping_)) return false;
  while (write_all(client, filler, stopping_)) {
  }
  return false;
}

bool HostileDisplay::answer(int client, const std::string& request, std::uint16_t sequence) {
  const std::string chunk(64 * 1024, '\0');
  if (lie_ == Lie::kEndlessReply)
    return stream(client, reply_head(0, sequence, 1U << 28, ""), chunk);
  if (lie_ == Lie::kEventFlood || lie_ == Lie::kGenericEventFlood) {
    const bool generic = lie_ == Lie::kGenericEventFlood;
    std::string event(1, static_cast<char>(generic ? 35 : 12));  // a generic event, or Expose
    event.push_back('\0');
    put(event, sequence, 2);
    put(event, generic ? (1U << 20) / 4 : 0, 4);
    event.resize(32, '\0');
    if (generic) {  // each one a megabyte long
      std::string events = event;
      events.resize(32 + (1U << 20), '\0');
      return stream(client, "", events);
    }
    std::string events;
    while (events.size() < chunk.size()) events += event;
    return stream(client, "", events);
  }
  const auto opcode = static_cast<std::uint8_t>(request[0]);
  std::string reply;
  if (opcode == 98) {  // QueryExtension
    const bool randr = request.substr(8, get(request, 4, 2)) == "RANDR";
    std::string fields;
    put(fields, randr ? 1 : 0, 1);
    put(fields, randr ? kRandrOpcode : 0, 1);
    reply = reply_head(0, sequence, 0, fields);
  } else if (opcode == kRandrOpcode && request[1] == 0) {  // QueryVersion
    std::string fields;
    put(fields, 1, 4);
    put(fields, 5, 4);
    reply = reply_head(0, sequence, 0, fields);
  } else if (opcode == kRandrOpcode && request[1] == 42) {  // GetMonitors
    const std::uint32_t monitors = lie_ == Lie::kMonitorsUnsent ? 1000 : 1;
    std::string fields;
    put(fields, 0, 4);  // timestamp
    put(fields, monitors, 4);
    put(fields, lie_ == Lie::kMonitorsUnsent ? 0 : 1, 4);  // outputs
    std::string list;
    if (lie_ != Lie::kMonitorsUnsent) {
      put(list, 0, 4);  // name
      put(list, 1, 1);  // primary
      put(list, 1, 1);  // automatic
      put(list, 1, 2);  // outputs
      put(list, 0, 4);  // x, y
      put(list, 640, 2);
      put(list, 480, 2);
      put(list, 170, 4);
      put(list, 127, 4);
      put(list, 0x40, 4);  // the output
    }
    reply = reply_head(0, sequence, static_cast<std::uint32_t>(list.size() / 4), fields) + list;
  } else if (opcode == 16) {  // InternAtom
    const std::string name = request.substr(8, get(request, 4, 2));
    std::string fields;
    put(fields,
        name == "_NET_ACTIVE_WINDOW" ? kActiveWindowAtom
        : name == "_NET_WM_PID"      ? kPidAtom
                                     : 0,
        4);
    reply = reply_head(0, sequence, 0, fields);
  } else if (opcode == 20) {  // GetProperty
    const std::uint32_t window = get(request, 4, 4);
    const std::uint32_t property = get(request, 8, 4);
    const std::uint32_t asked = get(request, 20, 4) * 4;
    std::uint32_t type = 0;
    std::uint8_t format = 0;
    std::string value;
    bool unsent = false;
    std::uint32_t stated = 0;  // the value's length when it is not the length sent
    if (window == kActiveWindow && property == kWmClassAtom && lie_ == Lie::kClassUnasked) {
      // Sent a block at a time: a child started while the test held it all would count it.
      constexpr std::uint32_t kSize = 16U << 20;
      std::string fields;
      put(fields, kStringAtom, 4);
      put(fields, 0, 4);
      put(fields, kSize, 4);
      if (!write_all(client, reply_head(8, sequence, kSize / 4, fields), stopping_)) return false;
      const std::string block(64 * 1024, 'K');
      for (std::size_t sent = 0; sent < kSize; sent += block.size()) {
        if (!write_all(client, block, stopping_)) return false;
      }
      return true;
    }
    if (window == kRoot && property == kActiveWindowAtom) {
      type = kWindowAtom;
      format = 32;
      put(value, kActiveWindow, 4);
      unsent = lie_ == Lie::kActiveWindowUnsent;
    } else if (window == kActiveWindow && property == kPidAtom) {
      type = kCardinalAtom;
      format = 32;
      put(value, static_cast<std::uint32_t>(pid_), 4);
      unsent = lie_ == Lie::kPidUnsent;
    } else if (window == kActiveWindow && property == kWmClassAtom) {
      type = kStringAtom;
      format = 8;
      value = wm_class_;
      if (lie_ == Lie::kClassOverstated) stated = 64 * 1024;
    }
    std::uint32_t after = 0;
    if (value.size() > asked) {
      after = static_cast<std::uint32_t>(value.size() - asked);
      value.resize(asked);
    }
    if (unsent) {
      value.clear();
      stated = 4;
    }
    std::string fields;
    put(fields, type, 4);
    put(fields, after, 4);
    const std::uint32_t length = stated != 0 ? stated : static_cast<std::uint32_t>(value.size());
    put(fields, format == 0 ? 0 : length / (format / 8), 4);
    value.resize(value.size() + (4 - value.size() % 4) % 4, '\0');
    reply =
        reply_head(format, sequence, static_cast<std::uint32_t>(value.size() / 4), fields) + value;
  } else {  // BadRequest
    reply = reply_head(1, sequence, 0, "");
    reply[0] = 0;
  }
  return write_all(client, reply, stopping_);
}

}  // namespace ktarn::e2e
