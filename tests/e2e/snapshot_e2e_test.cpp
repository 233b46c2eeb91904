#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "e2e/address_sanitizer.hpp"
#include "e2e/companion_process.hpp"
#include "e2e/hostile_display.hpp"
#include "e2e/silent_display.hpp"
#include "tools/private_display/xvfb_server.hpp"

extern char** environ;

namespace ktarn::e2e {
namespace {

using private_display::ActiveWindow;
using private_display::xvfb_available;
using private_display::XvfbServer;

constexpr const char* kRequest = "{\"id\":\"s1\",\"type\":\"snapshot\"}\n";
constexpr const char* kNoDisplay =
    "{\"error\":\"macOS active display observation unavailable\",\"id\":\"s1\",\"ok\":false}\n";
constexpr const char* kNoForeground =
    "{\"error\":\"macOS foreground application observation unavailable\",\"id\":\"s1\","
    "\"ok\":false}\n";

// A child of the test, ended and reaped on destruction.
class TestChild {
 public:
  TestChild() = default;
  ~TestChild() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  TestChild(const TestChild&) = delete;
  TestChild& operator=(const TestChild&) = delete;

  bool running() const { return pid_ > 0; }

 protected:
  pid_t pid_ = -1;
};

// A child that has given itself a distinctive process name.
class NamedChild : public TestChild {
 public:
  explicit NamedChild(const char* name) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_NAME, name);
      const char byte = 1;
      (void)!write(ready[1], &byte, 1);
      for (;;) pause();
    }
    close(ready[1]);
    char byte = 0;
    if (pid_ > 0 && read(ready[0], &byte, 1) != 1) pid_ = -1;
    close(ready[0]);
  }
};

// `sleep` started through a link of the given name. It counts as started once its arguments are
// in place: a spawned child may still be loading its program.
class LinkedSleep : public TestChild {
 public:
  explicit LinkedSleep(const std::string& link) {
    std::error_code failed;
    std::filesystem::create_symlink("/bin/sleep", link, failed);
    std::string first = link;
    char seconds[] = "30";
    char* argv[] = {first.data(), seconds, nullptr};
    if (failed || posix_spawn(&pid_, link.c_str(), nullptr, nullptr, argv, environ) != 0) {
      pid_ = -1;
      return;
    }
    const std::string expected = link + '\0' + seconds + '\0';
    const std::string arguments_file = "/proc/" + std::to_string(pid_) + "/cmdline";
    for (int tries = 0; tries < 5000; ++tries, usleep(1000)) {
      std::ifstream file(arguments_file, std::ios::binary);
      if (std::string(std::istreambuf_iterator<char>(file), {}) == expected) return;
    }
  }
};

TEST(SnapshotEndToEnd, WithoutADisplayTheDisplayObservationFails) {
  ProcessOptions options;
  options.environment = {{"DISPLAY", std::nullopt}};
  const ProcessResult result = run_companion(options, kRequest);
  EXPECT_EQ(result.out,
            "{\"error\":\"macOS active display observation unavailable\",\"id\":\"s1\","
            "\"ok\":false}\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST(SnapshotEndToEnd, ObservesTheDisplayItsActiveWindowAndTheProcesses) {
#ifndef KTARN_E2E_WITH_X11
  GTEST_SKIP() << "built without the X11 client library";
#else
  if (!xvfb_available()) GTEST_SKIP() << "no Xvfb to serve a private display";
  const XvfbServer server;
  ASSERT_FALSE(server.display_name().empty()) << "Xvfb did not start";
  const ActiveWindow window(server.display_name(), getpid(), "ktarn-test", "KtarnProbe");
  ASSERT_TRUE(window.ready());
  const NamedChild child("ktarn-e2e-kid");
  ASSERT_TRUE(child.running());
  const TemporaryHome folder;
  const LinkedSleep long_named(folder.path() + "/ktarn-e2e-twenty-byt");  // past the kernel's 15
  ASSERT_TRUE(long_named.running());

  ProcessOptions options;
  options.environment = {{"DISPLAY", server.display_name()}};
  const ProcessResult result = run_companion(options, kRequest);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);

  // Everything but the process names, member by member in the order the host writes them.
  const std::string::size_type names_at = result.out.find(",\"processes\":[");
  ASSERT_NE(names_at, std::string::npos) << result.out;
  const std::regex head(
      "\\{\"id\":\"s1\",\"ok\":true,\"result\":\\{\"captureMethod\":\"one-second-snapshot\","
      "\"displayCount\":[1-9][0-9]*,\"foregroundPid\":" +
      std::to_string(getpid()) +
      ",\"foregroundProcess\":\"KtarnProbe\",\"inaccessibleProcesses\":[0-9]+,"
      "\"processSnapshotAvailable\":true,\"processSnapshotTruncated\":(true|false)");
  EXPECT_TRUE(std::regex_match(result.out.substr(0, names_at), head)) << result.out;
  const std::string names = result.out.substr(names_at);
  EXPECT_TRUE(names.ends_with("]}}\n")) << names;
  EXPECT_NE(names.find("\"ktarn-e2e-kid\""), std::string::npos) << names;
  EXPECT_NE(names.find("\"ktarn-e2e-twenty-byt\""), std::string::npos) << names;
#endif
}

// A server that takes the connection and then never answers, at whichever step it falls silent,
// costs the snapshot its deadline of two seconds, and the request after it is answered.
TEST(SnapshotEndToEnd, AServerThatNeverAnswersIsGivenUpOnAndTheNextRequestIsAnswered) {
  const struct {
    Silence silence;
    const char* label;
  } cases[] = {
      {Silence::kBeforeGreeting, "silent from the start"},
      {Silence::kBeforeAccepting, "never accepting"},
      {Silence::kAfterGreeting, "silent after its greeting"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const SilentDisplay server(c.silence);
    ASSERT_FALSE(server.display_name().empty());
    ProcessOptions options;
    options.environment = {{"DISPLAY", server.display_name()}};
    options.timeout_seconds = 20;
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult result =
        run_companion(options, std::string(kRequest) + "{\"id\":\"h1\",\"type\":\"health\"}\n");
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(result.timed_out);
    EXPECT_TRUE(result.out.starts_with(std::string(kNoDisplay) + "{\"id\":\"h1\",\"ok\":true,"))
        << result.out;
    EXPECT_LT(took, std::chrono::seconds(8));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
  }
}

// A server whose reply does not hold what it states, that sends more than was asked for, or
// that floods the connection, fails the question at once: nothing past a reply is read, the
// answer stays one short line, and the companion's memory stays small. A class longer than a name
// is no name; the snapshot then names the foreground process "unknown".
TEST(SnapshotEndToEnd, AServerThatLiesOrFloodsIsGivenUpOnInBoundedMemory) {
  const std::string probe("ktarn-test\0KtarnProbe\0", 22);
  const std::string answered =
      "{\"id\":\"s1\",\"ok\":true,\"result\":{\"captureMethod\":\"one-second-snapshot\","
      "\"displayCount\":1,\"foregroundPid\":" +
      std::to_string(getpid()) + ",\"foregroundProcess\":";
  const struct {
    Lie lie;
    std::string wm_class;
    std::string expected;  // the snapshot's answer, or its start
    const char* label;
  } cases[] = {
      {Lie::kNone, probe, answered + "\"KtarnProbe\",", "honest"},
      {Lie::kNone, "ktarn-test" + std::string(1, '\0') + std::string(5000, 'K'),
       answered + "\"unknown\",", "a class longer than a name"},
      {Lie::kGreetingOverstated, probe, kNoDisplay, "greeting overstated"},
      {Lie::kActiveWindowUnsent, probe, kNoForeground, "active window stated, not sent"},
      {Lie::kPidUnsent, probe, kNoForeground, "process id stated, not sent"},
      {Lie::kClassOverstated, probe, kNoForeground, "class overstated"},
      {Lie::kClassUnasked, probe, kNoForeground, "a 16 MiB class sent unasked"},
      {Lie::kMonitorsUnsent, probe, kNoDisplay, "monitors stated, not listed"},
      {Lie::kEndlessReply, probe, kNoDisplay, "a reply of 1 GiB"},
      {Lie::kEventFlood, probe, kNoDisplay, "events without end"},
      {Lie::kGenericEventFlood, probe, kNoDisplay, "generic events of 1 MiB"},
  };
  long honest_peak_kib = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const HostileDisplay server(c.lie, getpid(), c.wm_class);
    ASSERT_FALSE(server.display_name().empty());
    ProcessOptions options;
    options.environment = {{"DISPLAY", server.display_name()}};
    options.timeout_seconds = 20;
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult result =
        run_companion(options, std::string(kRequest) + "{\"id\":\"h1\",\"type\":\"health\"}\n");
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(result.out.starts_with(c.expected)) << result.out.substr(0, 400);
    EXPECT_NE(result.out.find("{\"id\":\"h1\",\"ok\":true,"), std::string::npos);
    EXPECT_LT(result.out.size(), 16U * 1024U);
    EXPECT_LT(took, std::chrono::seconds(2)) << "the lie was found only by the deadline";
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    // The sanitizers' own memory dwarfs the companion's: there, the bound is the honest run's.
    if (c.lie == Lie::kNone && honest_peak_kib == 0) honest_peak_kib = result.peak_rss_kib;
    const long bound_kib = KTARN_ADDRESS_SANITIZER ? honest_peak_kib + 8 * 1024 : 32 * 1024;
    EXPECT_LE(result.peak_rss_kib, bound_kib);
  }
}

// An authority file with one cookie for every display of every host.
void write_authority_file(const std::string& path, const std::string& cookie) {
  const auto counted = [](const std::string& bytes) {
    return std::string{static_cast<char>(bytes.size() >> 8), static_cast<char>(bytes.size())} +
           bytes;
  };
  std::ofstream file(path, std::ios::binary);
  file << std::string("\xff\xff", 2) << counted("") << counted("") << counted("MIT-MAGIC-COOKIE-1")
       << counted(cookie);
}

// A server that admits only holders of its cookie admits the companion of a user whose authority
// file (XAUTHORITY, else ~/.Xauthority) holds it, and no other.
TEST(SnapshotEndToEnd, AServerThatAsksForACookieIsShownTheUsersOwn) {
#ifndef KTARN_E2E_WITH_X11
  GTEST_SKIP() << "built without the X11 client library";
#else
  if (!xvfb_available()) GTEST_SKIP() << "no Xvfb to serve a private display";
  const TemporaryHome admitted;
  const TemporaryHome stranger;
  const std::string cookie(
      "\x5a\x01\x00\xff"
      "ktarn-e2e-co",
      16);
  const std::string authority = admitted.path() + "/.Xauthority";
  write_authority_file(authority, cookie);
  write_authority_file(stranger.path() + "/.Xauthority", std::string(16, 'x'));
  const XvfbServer server(authority);
  ASSERT_FALSE(server.display_name().empty()) << "Xvfb did not start";
  // Admitted, the display is observed and the snapshot fails only for want of an active window.
  const std::string admitted_answer =
      "{\"error\":\"macOS foreground application observation unavailable\",\"id\":\"s1\","
      "\"ok\":false}\n";
  const struct {
    const char* label;
    std::vector<EnvironmentChange> environment;
    std::string expected;
  } cases[] = {
      {"home's file", {admitted.environment(), {"XAUTHORITY", std::nullopt}}, admitted_answer},
      {"named file", {stranger.environment(), {"XAUTHORITY", authority}}, admitted_answer},
      {"another cookie", {stranger.environment(), {"XAUTHORITY", std::nullopt}}, kNoDisplay},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ProcessOptions options;
    options.environment = c.environment;
    options.environment.push_back({"DISPLAY", server.display_name()});
    const ProcessResult result = run_companion(options, kRequest);
    EXPECT_EQ(result.out, c.expected);
    EXPECT_EQ(result.err, "");
  }
#endif
}

}  // namespace
}  // namespace ktarn::e2e
