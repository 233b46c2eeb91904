// One connection to the X11 display server named by DISPLAY, for the span of one question.
// Xlib reports failures through process-wide handlers whose defaults print and end the process;
// while a connection exists its own handlers are in place (protocol errors are ignored, since
// every request's own result says whether it worked, and a lost connection only marks the
// connection dead), and the previous handlers are back once it is gone. A dead connection is
// asked nothing more; it is only closed, which then frees it without writing to it.
#pragma once

#include <X11/Xlib.h>

namespace ktarn::platform::software {

class X11Connection {
 public:
  X11Connection();
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  // The open display, or nullptr when there is none or the connection has been lost.
  Display* display() const { return alive() ? display_ : nullptr; }
  bool alive() const { return display_ != nullptr && !lost_; }

 private:
  XErrorHandler previous_error_handler_;
  XIOErrorHandler previous_io_error_handler_;
  Display* display_ = nullptr;
  bool lost_ = false;
};

}  // namespace ktarn::platform::software
