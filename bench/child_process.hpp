// A child process on two pipes, for the whole-process benchmarks: started pinned to one CPU,
// fed one line at a time, answered one line at a time.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace ktarn::bench {

struct ChildOptions {
  std::vector<std::string> argv;
  std::vector<std::string> environment;  // NAME=value entries added to the inherited ones
  int cpu = -1;                          // pin the child to this CPU when >= 0
};

class ChildProcess {
 public:
  explicit ChildProcess(const ChildOptions& options);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Writes one line (LF appended) and reads one answer line (without its LF).
  std::string round_trip(const std::string& line);
  void write_line(const std::string& line);
  std::string read_line();
  // Closes the child's input and waits for it; returns its peak RSS in KiB.
  long finish();
  // The CPU time, user and system, the child used in all, once finished.
  double cpu_us() const { return cpu_us_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::string pending_;
  double cpu_us_ = 0;
};

// A throw-away home folder under the temporary directory, removed with everything in it.
struct TempHome {
  std::filesystem::path path;
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  std::string env() const { return "HOME=" + path.string(); }
};

// Pins the calling process to one CPU (no effect when cpu < 0).
void pin_to_cpu(int cpu);

}  // namespace ktarn::bench
