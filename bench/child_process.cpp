#include "child_process.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ktarn::bench {

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
  std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(to_child_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("write to child failed");
    done += static_cast<std::size_t>(n);
  }
}

std::string ChildProcess::read_line() {
  for (;;) {
    auto lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    char buffer[65536];
    ssize_t n = read(from_child_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("child closed its output");
    pending_.append(buffer, static_cast<std::size_t>(n));
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
  return usage.ru_maxrss;
}

}  // namespace ktarn::bench
