#ifdef KTARN_WITH_X11

#include "bridge/platform/software/x11_connection.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace ktarn::platform::software {
namespace {

int ignore_protocol_error(Display* /*display*/, XErrorEvent* /*event*/) {
  return 0;
}

// Called first when the connection breaks; returning lets the exit handler decide.
int ignore_io_error(Display* /*display*/) {
  return 0;
}

// Called instead of ending the process when the connection breaks.
void mark_lost(Display* /*display*/, void* lost) {
  *static_cast<bool*>(lost) = true;
}

// Xlib writes the server's refusal (an authorisation failure, say) to standard error while
// connecting; the companion's standard error belongs to its own start-up message alone.
class QuietStandardError {
 public:
  QuietStandardError() : saved_(dup(STDERR_FILENO)) {
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStandardError() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  QuietStandardError(const QuietStandardError&) = delete;
  QuietStandardError& operator=(const QuietStandardError&) = delete;

 private:
  int saved_;
};

Display* open_named_display() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return nullptr;
  const QuietStandardError quiet;
  return XOpenDisplay(name);
}

}  // namespace

X11Connection::X11Connection()
    : previous_error_handler_(XSetErrorHandler(ignore_protocol_error)),
      previous_io_error_handler_(XSetIOErrorHandler(ignore_io_error)),
      display_(open_named_display()) {
  if (display_ != nullptr) XSetIOErrorExitHandler(display_, mark_lost, &lost_);
}

X11Connection::~X11Connection() {
  // Once the connection is marked lost, closing it only frees it: nothing is sent any more.
  if (display_ != nullptr) XCloseDisplay(display_);
  XSetIOErrorHandler(previous_io_error_handler_);
  XSetErrorHandler(previous_error_handler_);
}

}  // namespace ktarn::platform::software

#endif
