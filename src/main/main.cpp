// ktarn-companion: the process the browser starts. It makes sure the standard descriptors exist,
// settles the key name from the command line, and then answers request lines until the input
// ends. Every orderly ending exits with status 0, a rejected key name included. Running out of
// memory is not an orderly ending: the process stops at once with kOutOfMemoryStatus.
#include <fcntl.h>
#include <unistd.h>
#if defined(__GLIBC__)
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <new>
#include <string_view>
#include <vector>

#include "main/key_name.hpp"
#include "main/line_reader.hpp"
#include "main/output.hpp"
#include "main/request_loop.hpp"

namespace {

// sysexits' EX_OSERR: the system could not give the process what it needs to go on.
constexpr int kOutOfMemoryStatus = 71;

// Standard error carries the key-name line and nothing else, so memory exhaustion ends the
// process without the C++ runtime's report, and without unwinding into code that would need
// memory to fail gracefully. An exception nobody catches ends it the same way.
[[noreturn]] void stop_silently() {
  ::_exit(kOutOfMemoryStatus);
}

// A descriptor left closed by the parent would otherwise be taken by the first file the process
// opens, and responses could land in it.
void open_standard_descriptors() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free descriptor, which is this one since the lower ones are open.
    if (::open("/dev/null", O_RDWR) != descriptor) std::abort();
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ktarn::host;
  std::set_new_handler(stop_silently);
  std::set_terminate(stop_silently);
  open_standard_descriptors();
  // A reader that has gone must show up as a failed write, which ends the loop, not kill us; and
  // a keychain write beyond a file size limit must fail with its status message, not kill us.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const std::vector<std::string_view> arguments(argv, argv + argc);
  const std::string_view key_name = choose_key_name(arguments);
  if (!is_valid_key_name(key_name)) {
    write_fully(descriptor_writer(STDERR_FILENO), kKeyNameRejection);
    return 0;
  }
  LineReader input(descriptor_reader(STDIN_FILENO));
  run_request_loop(input, descriptor_writer(STDOUT_FILENO), key_name);
  return 0;
}
