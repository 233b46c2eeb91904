#include "bridge/platform/software/desktop/software_desktop.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace ktarn::platform::software {
namespace {

constexpr std::size_t kBlockSlots = 32768;

std::vector<std::int32_t> listed_ids(SoftwareDesktop& desktop) {
  std::vector<std::int32_t> block(kBlockSlots, 0);
  const int listed = desktop.proc_listallpids(block);
  EXPECT_GT(listed, 0);
  block.resize(static_cast<std::size_t>(std::max(listed, 0)));
  return block;
}

// A `sleep` child, started from the given program file (found on PATH when it names no folder)
// with the given first argument, ended and reaped on destruction. posix_spawn may return while
// the program is still being loaded, so the child counts as started once its arguments are in
// place.
class SleepingChild {
 public:
  explicit SleepingChild(const std::string& program = "sleep", std::string first = "sleep") {
    char seconds[] = "30";
    char* argv[] = {first.data(), seconds, nullptr};
    if (posix_spawnp(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) pid_ = -1;
    const std::string expected = first + '\0' + seconds + '\0';
    for (int tries = 0; pid_ > 0 && arguments() != expected; ++tries) {
      if (tries == 5000) {
        ADD_FAILURE() << "the program did not start";
        break;
      }
      usleep(1000);
    }
  }
  ~SleepingChild() { end(); }
  SleepingChild(const SleepingChild&) = delete;
  SleepingChild& operator=(const SleepingChild&) = delete;

  pid_t pid() const { return pid_; }
  void end() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  std::string arguments() const {
    std::ifstream file("/proc/" + std::to_string(pid_) + "/cmdline", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  pid_t pid_ = -1;
};

// A folder of its own under the temporary folder, removed with its contents afterwards.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ktarn-names-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets or removes DISPLAY for the span of one test.
class DisplayVariable {
 public:
  explicit DisplayVariable(const char* value) {
    if (const char* old = std::getenv("DISPLAY")) saved_ = old;
    if (value == nullptr) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", value, 1);
    }
  }
  ~DisplayVariable() {
    if (saved_) {
      setenv("DISPLAY", saved_->c_str(), 1);
    } else {
      unsetenv("DISPLAY");
    }
  }
  DisplayVariable(const DisplayVariable&) = delete;
  DisplayVariable& operator=(const DisplayVariable&) = delete;

 private:
  std::optional<std::string> saved_;
};

TEST(SoftwareDesktopTest, ListingHoldsThisProcessAndItsChild) {
  SoftwareDesktop desktop;
  const SleepingChild child;
  ASSERT_GT(child.pid(), 0);
  const std::vector<std::int32_t> ids = listed_ids(desktop);
  EXPECT_NE(std::find(ids.begin(), ids.end(), getpid()), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), child.pid()), ids.end());
  EXPECT_TRUE(std::all_of(ids.begin(), ids.end(), [](std::int32_t id) { return id > 0; }));
}

TEST(SoftwareDesktopTest, ABlockTooSmallIsReportedFull) {
  SoftwareDesktop desktop;
  const SleepingChild child;  // at least two processes exist
  for (const std::size_t slots : {1U, 2U}) {
    std::vector<std::int32_t> block(slots + 1, -1);  // one guard slot past the capacity
    EXPECT_EQ(desktop.proc_listallpids(std::span(block).first(slots)), static_cast<int>(slots));
    EXPECT_GT(block[slots - 1], 0);
    EXPECT_EQ(block[slots], -1) << "wrote past the block";
  }
}

TEST(SoftwareDesktopTest, NamesAreCopiedTerminatedAndCutToTheBuffer) {
  SoftwareDesktop desktop;
  SleepingChild child;
  ASSERT_GT(child.pid(), 0);
  const struct {
    std::size_t size;
    std::string expected;
  } cases[] = {{1024, "sleep"}, {6, "sleep"}, {4, "sle"}, {1, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<char> buffer(c.size + 1, 'x');  // one guard byte past the buffer
    const int length = desktop.proc_name(child.pid(), std::span(buffer).first(c.size));
    EXPECT_EQ(length, static_cast<int>(c.expected.size()));
    EXPECT_EQ(std::string(buffer.data()), c.expected);
    EXPECT_EQ(buffer[c.size], 'x') << "wrote past the buffer";
  }
  const pid_t gone = child.pid();
  child.end();
  std::array<char, 1024> buffer{};
  EXPECT_EQ(desktop.proc_name(gone, buffer), 0);
  EXPECT_EQ(desktop.proc_name(0, buffer), 0);
  EXPECT_EQ(desktop.proc_name(-1, buffer), 0);
}

// The kernel keeps 15 bytes of a program's name; the rest comes from the program's file, or from
// the first argument when the program was started through a link, and only when it continues
// the kept bytes.
TEST(SoftwareDesktopTest, NamesTheKernelCutAreCompletedFromTheProgramsFile) {
  const std::filesystem::path sleep = "/bin/sleep";
  ASSERT_TRUE(std::filesystem::exists(sleep));
  const TemporaryFolder folder;
  ASSERT_FALSE(folder.path().empty());
  enum class Made { kCopy, kCopyThenRemoved, kLink };
  // Longer than any file name can be, so not the name of a program.
  const std::string long_argument = "ktarn-linked-lo" + std::string(300, 'o');
  const struct {
    const char* file;  // the program file's name in the folder
    Made made;
    const char* argument;  // the first argument; the program's path when null
    const char* expected;
  } cases[] = {
      {"ktarn-copied-program", Made::kCopy, nullptr, "ktarn-copied-program"},
      {"ktarn-removed-program", Made::kCopyThenRemoved, nullptr, "ktarn-removed-program"},
      {"ktarn-linked-program", Made::kLink, nullptr, "ktarn-linked-program"},
      {"ktarn-linked-elsewise", Made::kLink, "other-name", "ktarn-linked-el"},
      {"ktarn-linked-prefix", Made::kLink, "ktarn-linked-pr", "ktarn-linked-pr"},
      {"ktarn-linked-longer", Made::kLink, long_argument.c_str(), "ktarn-linked-lo"},
      {"ktarn-linked-badutf", Made::kLink, "ktarn-linked-ba\xff", "ktarn-linked-ba"},
      {"ktarn-fifteen-b", Made::kLink, nullptr, "ktarn-fifteen-b"},
      {"ktarn-fourteen", Made::kCopy, nullptr, "ktarn-fourteen"},
  };
  SoftwareDesktop desktop;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::filesystem::path program = folder.path() / c.file;
    if (c.made == Made::kLink) {
      std::filesystem::create_symlink(sleep, program);
    } else {
      std::filesystem::copy_file(sleep, program);
    }
    const SleepingChild child(program, c.argument != nullptr ? c.argument : program.string());
    ASSERT_GT(child.pid(), 0);
    if (c.made == Made::kCopyThenRemoved) std::filesystem::remove(program);
    std::array<char, 1024> buffer{};
    const int length = desktop.proc_name(child.pid(), buffer);
    EXPECT_EQ(std::string(buffer.data()), c.expected);
    EXPECT_EQ(length, static_cast<int>(std::string(c.expected).size()));
  }
}

TEST(SoftwareDesktopTest, WithoutAReachableDisplayThereIsNothingToObserve) {
  SoftwareDesktop desktop;
  for (const char* display : {static_cast<const char*>(nullptr), "", ":987"}) {
    SCOPED_TRACE(display == nullptr ? "unset" : display);
    const DisplayVariable variable(display);
    std::uint32_t count = 7;
    EXPECT_EQ(desktop.cg_get_active_display_list(0, count), 0);
    EXPECT_EQ(count, 0U);
    EXPECT_EQ(desktop.frontmost_application(), nullptr);
  }
}

// An object the desktop did not hand out is answered as a missing application is, as the
// keychain answers an object not its own with a parameter error rather than ending the call.
TEST(SoftwareDesktopTest, AnObjectOfAnotherKindIsNoApplication) {
  class Foreign final : public Object {};
  SoftwareDesktop desktop;
  const Foreign foreign;
  EXPECT_EQ(desktop.process_identifier(foreign), 0);
  EXPECT_EQ(desktop.localized_name(foreign), std::nullopt);
}

volatile sig_atomic_t test_alarms = 0;
void count_test_alarm(int /*signal*/) {
  test_alarms = test_alarms + 1;
}

// A server that takes the connection and never answers costs each question its two seconds, and
// leaves the process's alarm action, timer and signal mask as they were.
TEST(SoftwareDesktopTest, ASilentServerIsGivenUpOnAndTheAlarmIsLeftAsItWas) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string display = "127.0.0.1:" + std::to_string(ntohs(address.sin_port) - 6000);
  const DisplayVariable variable(display.c_str());

  struct sigaction own {};
  own.sa_handler = count_test_alarm;
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGALRM, &own, &saved), 0);
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  sigset_t saved_mask;
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &alarm, &saved_mask), 0);

  SoftwareDesktop desktop;
  const auto started = std::chrono::steady_clock::now();
  std::uint32_t count = 7;
  EXPECT_EQ(desktop.cg_get_active_display_list(0, count), 0);
  EXPECT_EQ(count, 0U);
  EXPECT_EQ(desktop.frontmost_application(), nullptr);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(3900));
  EXPECT_LT(took, std::chrono::seconds(8));

  struct sigaction now {};
  sigaction(SIGALRM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, count_test_alarm);
  itimerval timer{};
  getitimer(ITIMER_REAL, &timer);
  EXPECT_EQ(timer.it_value.tv_sec, 0);
  EXPECT_EQ(timer.it_value.tv_usec, 0);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, &saved_mask, &mask);
  EXPECT_EQ(sigismember(&mask, SIGALRM), 1);
  EXPECT_EQ(test_alarms, 0);
  sigaction(SIGALRM, &saved, nullptr);
  close(listener);
}

}  // namespace
}  // namespace ktarn::platform::software
