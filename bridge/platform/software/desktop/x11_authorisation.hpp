// The cookie that admits this user to an X11 display server: the MIT-MAGIC-COOKIE-1 entry of the
// user's authority file (XAUTHORITY, else ~/.Xauthority) for the server at the other end of a
// connected socket. A server on this machine is filed under the host name, one elsewhere under
// its address. The cookie is a secret; its bytes are wiped when it is released.
#pragma once

#include <X11/Xauth.h>

#include <string_view>

namespace ktarn::platform::software {

class X11Authorisation {
 public:
  X11Authorisation(int socket, int display);
  ~X11Authorisation();
  X11Authorisation(const X11Authorisation&) = delete;
  X11Authorisation& operator=(const X11Authorisation&) = delete;

  // The cookie's kind and its secret bytes for the connection's opening; both empty when the
  // file holds none: the server may admit the user without one.
  std::string_view kind() const;
  std::string_view secret() const;

 private:
  Xauth* entry_ = nullptr;
};

}  // namespace ktarn::platform::software
