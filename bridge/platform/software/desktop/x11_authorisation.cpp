#include "bridge/platform/software/desktop/x11_authorisation.hpp"

#include <X11/X.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>

namespace ktarn::platform::software {
namespace {

// Where the server's cookie is filed: the family and address of the entry.
struct ServerAddress {
  unsigned short family = FamilyLocal;
  std::string address;
};

// The address the authority file knows the server by; false for a socket of another kind. A
// server reached through the loopback address runs here and is filed like a local one.
bool server_address(int socket, ServerAddress& server) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  if (peer.ss_family == AF_INET6) {
    const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
    const auto* ip_bytes = reinterpret_cast<const char*>(&ip);
    if (IN6_IS_ADDR_V4MAPPED(&ip)) {
      const std::string v4(ip_bytes + 12, 4);  // an IPv4 peer reached through an IPv6 socket
      if (v4 != std::string("\x7f\0\0\x01", 4)) server = {FamilyInternet, v4};
    } else if (!IN6_IS_ADDR_LOOPBACK(&ip)) {
      server = {FamilyInternet6, std::string(ip_bytes, sizeof ip)};
    }
  } else if (peer.ss_family == AF_INET) {
    const in_addr& ip = reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr;
    if (ip.s_addr != htonl(INADDR_LOOPBACK)) {
      server = {FamilyInternet, std::string(reinterpret_cast<const char*>(&ip), sizeof ip)};
    }
  } else if (peer.ss_family != AF_UNIX) {
    return false;
  }
  if (server.family == FamilyLocal) {
    std::array<char, 256> host{};
    if (gethostname(host.data(), host.size() - 1) != 0) return false;
    server.address = host.data();
  }
  return true;
}

}  // namespace

X11Authorisation::X11Authorisation(int socket, int display) {
  ServerAddress server;
  if (!server_address(socket, server)) return;
  const std::string number = std::to_string(display);
  std::array<char, 19> kind{"MIT-MAGIC-COOKIE-1"};
  std::array<char*, 1> kinds{kind.data()};
  std::array<int, 1> kind_lengths{static_cast<int>(kind.size() - 1)};
  entry_ = XauGetBestAuthByAddr(server.family, static_cast<unsigned short>(server.address.size()),
                                server.address.data(), static_cast<unsigned short>(number.size()),
                                number.data(), 1, kinds.data(), kind_lengths.data());
}

std::string_view X11Authorisation::kind() const {
  if (entry_ == nullptr || entry_->name == nullptr) return {};
  return {entry_->name, entry_->name_length};
}

std::string_view X11Authorisation::secret() const {
  if (entry_ == nullptr || entry_->data == nullptr) return {};
  return {entry_->data, entry_->data_length};
}

X11Authorisation::~X11Authorisation() {
  if (entry_ == nullptr) return;
  if (entry_->data != nullptr) OPENSSL_cleanse(entry_->data, entry_->data_length);
  XauDisposeAuth(entry_);
}

}  // namespace ktarn::platform::software
