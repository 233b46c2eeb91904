#include "e2e/silent_display.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>

namespace ktarn::e2e {
namespace {

constexpr int kFirstDisplayPort = 6000;
constexpr int kQueueFillers = 4;

}  // namespace

std::string x11_greeting() {
  std::string bytes;
  const auto put = [&bytes](std::uint32_t value, int size) {
    for (int at = 0; at < size; ++at) bytes.push_back(static_cast<char>(value >> (8 * at)));
  };
  put(1, 1);  // success
  put(0, 1);
  put(11, 2);             // protocol major
  put(0, 2);              // protocol minor
  put((32 + 40) / 4, 2);  // what follows, in 4-byte units
  put(1, 4);              // release
  put(0x00200000, 4);     // resource id base
  put(0x001FFFFF, 4);     // resource id mask
  put(0, 4);              // motion buffer size
  put(0, 2);              // vendor length
  put(0xFFFF, 2);         // maximum request length
  put(1, 1);              // screens
  put(0, 1);              // pixmap formats
  put(0, 4);              // byte and bit orders, scanline unit and pad
  put(8, 1);              // minimum keycode
  put(255, 1);            // maximum keycode
  put(0, 4);
  put(0x100, 4);     // the screen: root window
  put(0x20, 4);      // default colormap
  put(0xFFFFFF, 4);  // white pixel
  put(0, 4);         // black pixel
  put(0, 4);         // current input masks
  put(640, 2);
  put(480, 2);
  put(170, 2);  // millimetres
  put(127, 2);
  put(1, 2);  // installed maps, least and most
  put(1, 2);
  put(0x21, 4);  // root visual
  put(0, 1);     // backing stores
  put(0, 1);     // save unders
  put(24, 1);    // root depth
  put(0, 1);     // depths listed
  return bytes;
}

SilentDisplay::SilentDisplay(Silence silence) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const int backlog = silence == Silence::kBeforeAccepting ? 0 : 16;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, backlog) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  const int port = ntohs(address.sin_port);  // an ephemeral port, above the first display's
  if (port <= kFirstDisplayPort) return;
  if (silence == Silence::kBeforeAccepting) {
    for (int filler = 0; filler < kQueueFillers; ++filler) {
      const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      connect(socket, reinterpret_cast<sockaddr*>(&address), length);
      held_.push_back(socket);
    }
  } else if (silence == Silence::kAfterGreeting) {
    greeter_ = std::thread(&SilentDisplay::greet_and_hold, this);
  }
  display_name_ = "127.0.0.1:" + std::to_string(port - kFirstDisplayPort);
}

SilentDisplay::~SilentDisplay() {
  stopping_ = true;
  if (greeter_.joinable()) greeter_.join();
  for (const int socket : held_) close(socket);
  if (listener_ >= 0) close(listener_);
}

void SilentDisplay::greet_and_hold() {
  const std::string welcome = x11_greeting();
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    held_.push_back(client);
    std::array<char, 256> opening{};  // the client's opening request, cookie and all
    pollfd request{client, POLLIN, 0};
    if (poll(&request, 1, 5000) <= 0 || read(client, opening.data(), opening.size()) <= 0) {
      continue;
    }
    (void)!write(client, welcome.data(), welcome.size());
  }
}

}  // namespace ktarn::e2e
