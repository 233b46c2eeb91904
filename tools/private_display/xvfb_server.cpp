#include "tools/private_display/xvfb_server.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

namespace ktarn::private_display {
namespace {

constexpr const char* kXvfbPath = "/usr/bin/Xvfb";
constexpr int kStartTimeoutMilliseconds = 20000;

// The server's arguments, made before the fork so that the child only executes.
std::vector<std::string> xvfb_arguments(int display_fd, const std::string& authority_file) {
  std::vector<std::string> arguments{"Xvfb",      "-displayfd", std::to_string(display_fd),
                                     "-nolisten", "tcp",        "-noreset",
                                     "-screen",   "0",          "640x480x24"};
  if (!authority_file.empty()) {
    arguments.emplace_back("-auth");
    arguments.push_back(authority_file);
  }
  return arguments;
}

[[noreturn]] void run_xvfb(int display_fd, const std::vector<char*>& arguments) {
  // A parent that takes its stop signals in turn has them blocked; the server must not inherit
  // that, or it could never be stopped.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
  fcntl(display_fd, F_SETFD, 0);  // the server writes its display number here
  execv(kXvfbPath, arguments.data());
  _exit(127);
}

// The display number the server announces once it accepts clients, or empty.
std::string read_display_number(int fd) {
  std::string number;
  while (number.empty() || number.back() != '\n') {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, kStartTimeoutMilliseconds) <= 0) return {};
    char byte = 0;
    if (read(fd, &byte, 1) != 1) return {};
    number.push_back(byte);
  }
  number.pop_back();
  if (number.empty() || !std::isdigit(static_cast<unsigned char>(number[0]))) return {};
  return number;
}

void set_cardinal(Display* display, Window window, const char* name, Atom type,
                  unsigned long value) {
  const Atom property = XInternAtom(display, name, False);
  XChangeProperty(display, window, property, type, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&value), 1);
}

}  // namespace

bool xvfb_available() {
  return access(kXvfbPath, X_OK) == 0;
}

XvfbServer::XvfbServer(const std::string& authority_file) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> arguments = xvfb_arguments(fds[1], authority_file);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) run_xvfb(fds[1], pointers);
  close(fds[1]);
  if (pid_ > 0) {
    const std::string number = read_display_number(fds[0]);
    if (!number.empty()) display_name_ = ":" + number;
  }
  close(fds[0]);
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

ActiveWindow::ActiveWindow(const std::string& display_name, pid_t owner,
                           const std::string& instance, const std::string& window_class) {
  Display* display = XOpenDisplay(display_name.c_str());
  display_ = display;
  if (display == nullptr) return;
  const Window root = DefaultRootWindow(display);
  const Window window = XCreateSimpleWindow(display, root, 0, 0, 64, 64, 0, 0, 0);
  set_cardinal(display, window, "_NET_WM_PID", XA_CARDINAL, static_cast<unsigned long>(owner));
  std::vector<char> name(instance.begin(), instance.end());
  std::vector<char> class_name(window_class.begin(), window_class.end());
  name.push_back('\0');
  class_name.push_back('\0');
  XClassHint hint{name.data(), class_name.data()};
  XSetClassHint(display, window, &hint);
  XMapWindow(display, window);
  set_cardinal(display, root, "_NET_ACTIVE_WINDOW", XA_WINDOW, window);
  XSync(display, False);
  ready_ = true;
}

ActiveWindow::~ActiveWindow() {
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

}  // namespace ktarn::private_display
