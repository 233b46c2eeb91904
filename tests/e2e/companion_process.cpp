#include "e2e/companion_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace ktarn::e2e {
namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void set_nonblocking(int fd) {
  if (fd >= 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) fail("fcntl");
}

std::string variable_name(std::string_view entry) {
  return std::string(entry.substr(0, entry.find('=')));
}

std::vector<std::string> child_environment(const std::vector<EnvironmentChange>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string name = variable_name(*entry);
    bool changed = false;
    for (const auto& change : changes) changed = changed || change.name == name;
    if (!changed) result.emplace_back(*entry);
  }
  for (const auto& change : changes) {
    if (change.value) result.push_back(change.name + "=" + *change.value);
  }
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& text : strings) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// A regular file holding the input, already unlinked; the open description is shared with the
// child, so its offset afterwards tells how much the child read.
int input_file(std::string_view input) {
  std::string name = (std::filesystem::temp_directory_path() / "ktarn-stdin-XXXXXX").string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) fail("mkstemp");
  ::unlink(name.c_str());
  for (std::size_t done = 0; done < input.size();) {
    const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
    if (n <= 0) fail("write");
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

void check_channels(const std::array<Channel, 3>& channels) {
  for (int target = 0; target < 3; ++target) {
    const bool input = target == 0;
    const Channel channel = channels[target];
    if ((channel == Channel::kFile && !input) || (channel == Channel::kReaderGone && input)) {
      throw std::invalid_argument("channel not available for this descriptor");
    }
  }
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void exec_child(const std::array<int, 3>& sources, const ProcessOptions& options,
                             const char* path, char* const* argv, char* const* envp) {
  const std::array<Channel, 3>& channels = options.channels;
  for (int target = 0; target < 3; ++target) {
    if (sources[target] == target) {
      ::fcntl(target, F_SETFD, 0);
    } else if (sources[target] >= 0 && ::dup2(sources[target], target) < 0) {
      ::_exit(127);
    }
  }
  for (int target = 0; target < 3; ++target) {
    if (channels[target] == Channel::kClosed) ::close(target);
  }
  // The companion must protect itself: it starts with the default dispositions a browser gives.
  ::signal(SIGPIPE, SIG_DFL);
  ::signal(SIGXFSZ, SIG_DFL);
  if (options.address_space_limit) {
    const rlimit limit{*options.address_space_limit, *options.address_space_limit};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
  }
  ::execve(path, argv, envp);
  ::_exit(127);
}

}  // namespace

std::string companion_path() {
  return KTARN_BINARY_DIR "/ktarn-companion";
}

CompanionProcess::CompanionProcess(const ProcessOptions& options, std::string_view file_input)
    : timeout_seconds_(options.timeout_seconds) {
  // A companion that stops reading must show up as a failed write here, not kill the tests.
  ::signal(SIGPIPE, SIG_IGN);
  const std::string path = companion_path();
  std::vector<std::string> arguments{options.program_name.value_or(path)};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  std::vector<std::string> environment = child_environment(options.environment);
  std::vector<char*> argv = pointers(arguments);
  std::vector<char*> envp = pointers(environment);

  check_channels(options.channels);
  std::array<int, 3> child_ends{-1, -1, -1};
  for (int target = 0; target < 3; ++target) {
    const Channel channel = options.channels[target];
    const bool input = target == 0;
    if (channel == Channel::kFile) {
      stdin_file_fd_ = input_file(file_input);
      child_ends[target] = stdin_file_fd_;
    }
    if (channel != Channel::kPipe && channel != Channel::kReaderGone) continue;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
    child_ends[target] = input ? ends[0] : ends[1];
    int parent_end = input ? ends[1] : ends[0];
    if (channel == Channel::kReaderGone) close_fd(parent_end);
    (target == 0 ? stdin_fd_ : target == 1 ? stdout_fd_ : stderr_fd_) = parent_end;
  }

  pid_ = ::fork();
  if (pid_ < 0) fail("fork");
  if (pid_ == 0) exec_child(child_ends, options, path.c_str(), argv.data(), envp.data());
  for (int target = 0; target < 3; ++target) {
    if (child_ends[target] != stdin_file_fd_) close_fd(child_ends[target]);
  }
  set_nonblocking(stdin_fd_);
  set_nonblocking(stdout_fd_);
  set_nonblocking(stderr_fd_);
}

CompanionProcess::~CompanionProcess() {
  close_fd(stdin_fd_);
  close_fd(stdout_fd_);
  close_fd(stderr_fd_);
  close_fd(stdin_file_fd_);
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool CompanionProcess::pump(std::string_view input, Goal goal) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_seconds_);
  bool input_taken = true;
  for (;;) {
    if (goal == Goal::kInputWritten && input.empty()) return input_taken;
    if (goal == Goal::kLine && out_.find('\n') != std::string::npos) return true;
    if (goal == Goal::kEndOfOutput && input.empty()) close_fd(stdin_fd_);
    if (!input.empty() && stdin_fd_ < 0) {
      input = {};
      input_taken = false;
      continue;
    }
    std::vector<pollfd> watched;
    if (!input.empty()) watched.push_back({stdin_fd_, POLLOUT, 0});
    if (stdout_fd_ >= 0) watched.push_back({stdout_fd_, POLLIN, 0});
    if (stderr_fd_ >= 0) watched.push_back({stderr_fd_, POLLIN, 0});
    if (watched.empty()) return goal == Goal::kEndOfOutput;
    if (goal == Goal::kLine && stdout_fd_ < 0) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timed_out_ = true;
      return false;
    }
    if (::poll(watched.data(), watched.size(), static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    for (const pollfd& entry : watched) {
      if (entry.revents == 0) continue;
      if (entry.fd == stdin_fd_) {
        const ssize_t n = ::write(stdin_fd_, input.data(), input.size());
        if (n > 0) {
          input.remove_prefix(static_cast<std::size_t>(n));
        } else if (errno != EAGAIN && errno != EINTR) {
          close_fd(stdin_fd_);
        }
        continue;
      }
      int& fd = entry.fd == stdout_fd_ ? stdout_fd_ : stderr_fd_;
      char chunk[65536];
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n > 0) {
        (&fd == &stdout_fd_ ? out_ : err_).append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        close_fd(fd);
      }
    }
  }
}

bool CompanionProcess::write(std::string_view bytes) {
  return pump(bytes, Goal::kInputWritten);
}

std::optional<std::string> CompanionProcess::read_line() {
  pump({}, Goal::kLine);
  const std::size_t end = out_.find('\n');
  if (end == std::string::npos) return std::nullopt;
  std::string line = out_.substr(0, end);
  out_.erase(0, end + 1);
  return line;
}

void CompanionProcess::close_output() {
  close_fd(stdout_fd_);
}

std::optional<std::string> CompanionProcess::round_trip(std::string_view request_line) {
  if (!write(std::string(request_line) + "\n")) return std::nullopt;
  return read_line();
}

ProcessResult CompanionProcess::finish(std::string_view remaining_input) {
  if (pid_ < 0) throw std::logic_error("the companion has already finished");
  pump(remaining_input, Goal::kEndOfOutput);
  ProcessResult result;
  result.timed_out = timed_out_;
  if (timed_out_) ::kill(pid_, SIGKILL);
  int status = 0;
  rusage usage{};
  while (::wait4(pid_, &status, 0, &usage) < 0) {
    if (errno != EINTR) fail("wait4");
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.peak_rss_kib = usage.ru_maxrss;
  if (stdin_file_fd_ >= 0) {
    result.stdin_consumed = static_cast<std::size_t>(::lseek(stdin_file_fd_, 0, SEEK_CUR));
  }
  result.out = std::move(out_);
  result.err = std::move(err_);
  return result;
}

ProcessResult run_companion(const ProcessOptions& options, std::string_view input) {
  const bool from_file = options.channels[0] == Channel::kFile;
  CompanionProcess process(options, from_file ? input : std::string_view{});
  return process.finish(from_file ? std::string_view{} : input);
}

TemporaryHome::TemporaryHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ktarn-home-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  path_ = pattern;
}

TemporaryHome::~TemporaryHome() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace ktarn::e2e
