// One connection to the X11 display server named by DISPLAY, for the span of one question. The
// whole exchange has a deadline of a few seconds: the connection is made, the server's greeting
// read and every reply awaited within it, so a server that accepts and never answers costs no
// more than that and never holds up the request that follows. Past the deadline, as after any
// other break, the connection is dead: it is asked nothing more, and every reply reads as none.
#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "base/c_handle.hpp"
#include "bridge/platform/software/desktop/socket_read_deadline.hpp"

namespace ktarn::platform::software {

// What the server sends, in one block from the C allocator, released exactly once.
template <typename Reply>
using OwnedReply = CHandle<Reply, std::free>;

class X11Connection {
 public:
  X11Connection();
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // The open connection, or nullptr when there is none or it has broken.
  xcb_connection_t* get() const { return alive() ? connection_ : nullptr; }
  bool alive() const {
    return connection_ != nullptr && xcb_connection_has_error(connection_) == 0;
  }
  // The root window of the screen DISPLAY chose.
  xcb_window_t root() const { return root_; }

  // The reply to a request already sent, or none when the server refused it or the connection
  // broke; a refusal is discarded, since the missing reply says all that is needed.
  template <typename Reply, typename Cookie>
  OwnedReply<Reply> reply(Cookie cookie,
                          Reply* (*fetch)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
    if (!alive()) return nullptr;
    xcb_generic_error_t* refusal = nullptr;
    OwnedReply<Reply> answer(fetch(connection_, cookie, &refusal));
    std::free(refusal);
    return answer;
  }

 private:
  std::optional<SocketReadDeadline> deadline_;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = XCB_NONE;
};

}  // namespace ktarn::platform::software
