#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "e2e/companion_process.hpp"
#include "e2e/xvfb_server.hpp"

namespace ktarn::e2e {
namespace {

constexpr const char* kRequest = "{\"id\":\"s1\",\"type\":\"snapshot\"}\n";

// A child of the test that has given itself a distinctive process name, ended on destruction.
class NamedChild {
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
  ~NamedChild() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  NamedChild(const NamedChild&) = delete;
  NamedChild& operator=(const NamedChild&) = delete;

  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
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
  const ActiveTestWindow window(server.display_name(), getpid(), "ktarn-test", "KtarnProbe");
  ASSERT_TRUE(window.ready());
  const NamedChild child("ktarn-e2e-kid");
  ASSERT_TRUE(child.running());

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
#endif
}

}  // namespace
}  // namespace ktarn::e2e
