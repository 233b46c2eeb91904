#include "child_process.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ktarn::bench {

namespace {
constexpr std::size_t kReadBlock = 65536;
}  // namespace

TempHome::TempHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ktarn-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
}

TempHome::~TempHome() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

void pin_to_cpu(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);
}

ChildProcess::ChildProcess(const ChildOptions& options) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    pin_to_cpu(options.cpu);
    dup2(in[0], 0);
    dup2(out[1], 1);
    for (const auto& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv;
    for (const auto& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  to_child_ = in[1];
  from_child_ = out[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) finish();
}

void ChildProcess::write_line(const std::string& line) {
  // The line and its LF in one call, straight from the caller's string: the driver shares the
  // companion's CPU in some figures, so it copies nothing it does not have to.
  char line_feed = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&line_feed, 1}};
  iovec* next = parts;
  int left = 2;
  while (left > 0) {
    ssize_t n = writev(to_child_, next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to child failed");
    auto written = static_cast<std::size_t>(n);
    while (left > 0 && written >= next->iov_len) {
      written -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + written;
      next->iov_len -= written;
    }
  }
}

std::string ChildProcess::read_line() {
  std::size_t scanned = 0;
  for (;;) {
    auto lf = pending_.find('\n', scanned);
    if (lf != std::string::npos) {
      // The usual case, one whole answer read, hands the buffer over instead of copying it.
      if (lf + 1 == pending_.size()) {
        std::string line = std::move(pending_);
        pending_.clear();
        line.pop_back();
        return line;
      }
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    scanned = pending_.size();
    ssize_t n = 0;
    pending_.resize_and_overwrite(scanned + kReadBlock, [&](char* data, std::size_t) {
      n = read(from_child_, data + scanned, kReadBlock);
      return scanned + static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    });
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("child closed its output");
  }
}

std::string ChildProcess::round_trip(const std::string& line) {
  write_line(line);
  return read_line();
}

long ChildProcess::finish() {
  if (to_child_ >= 0) close(to_child_);
  to_child_ = -1;
  int status = 0;
  rusage usage{};
  wait4(pid_, &status, 0, &usage);
  if (from_child_ >= 0) close(from_child_);
  from_child_ = -1;
  pid_ = -1;
  cpu_us_ = 1e6 * static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  return usage.ru_maxrss;
}

}  // namespace ktarn::bench
