#include "main/output.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace ktarn::host {
namespace {

// One scripted write: accept up to `accept` bytes (0 accepts nothing), or fail with an errno.
struct WriteStep {
  std::size_t accept = 0;
  int error = 0;
};

struct WriteCase {
  const char* reason;
  std::vector<WriteStep> steps;
  bool written;
  std::string received;
};

TEST(Output, WritesEveryByteOrReportsFailure) {
  const WriteCase cases[] = {
      {"one write takes it all", {{100}}, true, "response\n"},
      {"partial writes are continued", {{3}, {2}, {100}}, true, "response\n"},
      {"interrupted writes are repeated", {{0, EINTR}, {4}, {0, EINTR}, {100}}, true, "response\n"},
      {"closed descriptor counts as written", {{0, EBADF}}, true, ""},
      {"no byte accepted is a failure", {{2}, {0}}, false, "re"},
      {"gone reader is a failure", {{0, EPIPE}}, false, ""},
      {"full device is a failure", {{0, ENOSPC}}, false, ""},
  };
  for (const WriteCase& c : cases) {
    std::size_t next = 0;
    std::string received;
    const WriteFunction write = [&](const char* bytes, std::size_t size) -> ssize_t {
      const WriteStep step = next < c.steps.size() ? c.steps[next++] : WriteStep{0, EIO};
      if (step.error != 0) {
        errno = step.error;
        return -1;
      }
      const std::size_t count = std::min(size, step.accept);
      received.append(bytes, count);
      return static_cast<ssize_t>(count);
    };
    EXPECT_EQ(write_fully(write, "response\n"), c.written) << c.reason;
    EXPECT_EQ(received, c.received) << c.reason;
  }
}

}  // namespace
}  // namespace ktarn::host
