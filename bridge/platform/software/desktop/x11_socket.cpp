#include "bridge/platform/software/desktop/x11_socket.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "base/c_handle.hpp"

namespace ktarn::platform::software {
namespace {

constexpr int kFirstTcpPort = 6000;
// Where the servers of this machine listen, one socket per display number: a fixed convention of
// X11, not a place for temporary files.
constexpr const char* kLocalSocketPrefix = "/tmp/.X11-unix/X";

// Starts a connection and waits for it to be made, at most until the deadline.
bool connect_in_time(int socket, const sockaddr* address, socklen_t length, Deadline deadline) {
  if (connect(socket, address, length) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;  // a full local queue says EAGAIN
  pollfd writable{socket, POLLOUT, 0};
  for (;;) {
    const int ready = poll(&writable, 1, milliseconds_left(deadline));
    if (ready > 0) break;
    if (ready == 0 || errno != EINTR) return false;
  }
  int failure = 0;
  socklen_t size = sizeof failure;
  return getsockopt(socket, SOL_SOCKET, SO_ERROR, &failure, &size) == 0 && failure == 0;
}

FileDescriptor connect_to(int family, const sockaddr* address, socklen_t length,
                          Deadline deadline) {
  FileDescriptor socket(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!socket.is_open() || !connect_in_time(socket.get(), address, length, deadline)) return {};
  return socket;
}

FileDescriptor connect_local(const std::string& path, Deadline deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return {};
  std::copy(path.begin(), path.end(), address.sun_path);
  return connect_to(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address, deadline);
}

FileDescriptor connect_tcp(std::string host, int display, Deadline deadline) {
  if (display < 0 || display > USHRT_MAX - kFirstTcpPort) return {};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  if (host.size() > 2 && host.starts_with('[') && host.ends_with(']')) {  // "[::1]:0"
    host = host.substr(1, host.size() - 2);
    hints.ai_family = AF_INET6;
    hints.ai_flags |= AI_NUMERICHOST;
  }
  addrinfo* found = nullptr;
  const std::string port = std::to_string(kFirstTcpPort + display);
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return {};
  const CHandle<addrinfo, freeaddrinfo> addresses(found);
  for (const addrinfo* at = addresses.get(); at != nullptr; at = at->ai_next) {
    FileDescriptor socket = connect_to(at->ai_family, at->ai_addr, at->ai_addrlen, deadline);
    if (!socket.is_open()) continue;
    const int on = 1;  // requests are small and each waits for its reply
    setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
  }
  return {};
}

}  // namespace

std::optional<DisplaySocket> connect_display(const char* name, Deadline deadline) {
  if (name == nullptr || *name == '\0') return std::nullopt;
  char* parsed_host = nullptr;
  DisplaySocket found;
  if (xcb_parse_display(name, &parsed_host, &found.display, &found.screen) == 0) {
    return std::nullopt;
  }
  const CHandle<char, std::free> owned_host(parsed_host);
  const std::string host(parsed_host);
  if (host.starts_with('/')) {
    found.socket = connect_local(host, deadline);
  } else if (host.empty() || host == "unix") {
    found.socket = connect_local(kLocalSocketPrefix + std::to_string(found.display), deadline);
  } else {
    found.socket = connect_tcp(host, found.display, deadline);
  }
  if (!found.socket.is_open()) return std::nullopt;
  return found;
}

}  // namespace ktarn::platform::software
