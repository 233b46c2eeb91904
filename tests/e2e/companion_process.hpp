// Runs the real ktarn-companion executable as the browser would: as a child process with chosen
// arguments, environment and standard descriptors, fed bytes on standard input, its standard
// output, standard error, exit status and peak memory collected. Either in one go (run_companion)
// or interactively, one request line and one response line at a time (CompanionProcess), for
// round trips that depend on earlier answers. TemporaryHome gives each run its own login
// keychain folder so that no test touches the user's keys or another test's.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ktarn::e2e {

// The companion built next to the tests.
std::string companion_path();

// How one standard descriptor of the child is set up.
enum class Channel {
  kPipe,        // a pipe to or from the test
  kClosed,      // not open at all when the companion starts
  kFile,        // standard input only: the input bytes as a regular file, so the test can see
                // how far the companion read (ProcessResult::stdin_consumed)
  kReaderGone,  // standard output or error only: a pipe whose read end is already closed
};

// Sets (value present) or removes (no value) one environment variable of the child; every other
// variable is inherited from the test.
struct EnvironmentChange {
  std::string name;
  std::optional<std::string> value;
};

struct ProcessOptions {
  std::vector<std::string> arguments;       // after argument 0
  std::optional<std::string> program_name;  // argument 0; the executable's path by default
  std::vector<EnvironmentChange> environment;
  std::array<Channel, 3> channels{Channel::kPipe, Channel::kPipe, Channel::kPipe};
  int timeout_seconds = 60;                   // the child is killed when it has not ended by then
  std::optional<rlim_t> address_space_limit;  // the child's RLIMIT_AS, from before it is loaded
};

struct ProcessResult {
  std::string out;
  std::string err;
  std::optional<int> exit_status;  // none when the child was ended by a signal
  int signal = 0;                  // the ending signal, 0 when it exited
  bool timed_out = false;
  long peak_rss_kib = 0;           // the child's ru_maxrss
  std::size_t stdin_consumed = 0;  // Channel::kFile only: bytes taken from standard input
};

class CompanionProcess {
 public:
  // Starts the companion. With Channel::kFile the input goes into the file here.
  explicit CompanionProcess(const ProcessOptions& options, std::string_view file_input = {});
  ~CompanionProcess();  // ends the child if it still runs
  CompanionProcess(const CompanionProcess&) = delete;
  CompanionProcess& operator=(const CompanionProcess&) = delete;

  // Writes every byte to standard input; false once the companion no longer reads.
  bool write(std::string_view bytes);
  // The next standard output line without its LF; none at end of output or on timeout.
  std::optional<std::string> read_line();
  // Writes request_line plus LF and reads the one response line.
  std::optional<std::string> round_trip(std::string_view request_line);
  // The child's process id, for signals and /proc; -1 once finished.
  pid_t pid() const { return pid_; }
  // Closes the test's read end of standard output, as a browser that stops listening does.
  void close_output();
  // Writes the remaining input, closes standard input, collects all remaining output and waits
  // for the child to end.
  ProcessResult finish(std::string_view remaining_input = {});

 private:
  enum class Goal { kInputWritten, kLine, kEndOfOutput };
  // Moves input to the child and its output to out_/err_ until the goal is reached, the child
  // makes it unreachable, or the time is up; every descriptor is served at once so that neither
  // side can block the other on a full pipe.
  bool pump(std::string_view input, Goal goal);

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  int stdin_file_fd_ = -1;
  int timeout_seconds_;
  bool timed_out_ = false;
  std::string out_;  // standard output read but not yet handed out
  std::string err_;
};

// Runs the companion to its end over the given standard input bytes.
ProcessResult run_companion(const ProcessOptions& options, std::string_view input = {});

// A fresh, empty folder to serve as HOME, removed with everything in it afterwards.
class TemporaryHome {
 public:
  TemporaryHome();
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::string& path() const { return path_; }
  EnvironmentChange environment() const { return {"HOME", path_}; }

 private:
  std::string path_;
};

}  // namespace ktarn::e2e
