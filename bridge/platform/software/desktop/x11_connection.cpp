#ifdef KTARN_WITH_X11

#include "bridge/platform/software/desktop/x11_connection.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "bridge/platform/software/desktop/x11_authorisation.hpp"
#include "bridge/platform/software/desktop/x11_socket.hpp"

namespace ktarn::platform::software {
namespace {

// Long enough for a busy server on a loaded machine, short enough that a browser waiting on the
// answer sees a failure rather than a hang.
constexpr std::chrono::milliseconds kAnswerTime{2000};

// The library writes the server's refusal (a wrong cookie, say) to standard error while
// connecting; the companion's standard error belongs to its own start-up message alone.
class QuietStandardError {
 public:
  QuietStandardError() : saved_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)) {
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

// The root window of the given screen, or none when the server has no such screen.
xcb_window_t root_of_screen(xcb_connection_t* connection, int screen) {
  xcb_screen_iterator_t at = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int skipped = 0; at.rem > 0 && skipped < screen; ++skipped) xcb_screen_next(&at);
  return at.rem > 0 && screen >= 0 ? at.data->root : XCB_NONE;
}

}  // namespace

X11Connection::X11Connection() {
  const Deadline deadline = std::chrono::steady_clock::now() + kAnswerTime;
  std::optional<DisplaySocket> server = connect_display(std::getenv("DISPLAY"), deadline);
  if (!server) return;
  deadline_.emplace(server->socket.get(), deadline);
  X11Authorisation cookie(server->socket.get(), server->display);
  {
    const QuietStandardError quiet;
    // The library owns the socket from here on, and closes it on every path.
    connection_ = xcb_connect_to_fd(server->socket.release(), cookie.info());
  }
  if (alive()) root_ = root_of_screen(connection_, server->screen);
  if (root_ != XCB_NONE) return;
  deadline_.reset();
  xcb_disconnect(connection_);
  connection_ = nullptr;
}

X11Connection::~X11Connection() {
  // The timer goes before the socket does, so that it can never act on a reused descriptor.
  deadline_.reset();
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

}  // namespace ktarn::platform::software

#endif
