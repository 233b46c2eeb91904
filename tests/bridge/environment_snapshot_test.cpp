#include "bridge/environment_snapshot.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "bridge/platform/scripted/scripted_platform.hpp"

namespace ktarn::bridge {
namespace {

using platform::Dictionary;
using platform::scripted::ScriptedDesktop;
using platform::scripted::ScriptedPlatform;

std::int64_t integer_member(const Dictionary& snapshot, const std::string& name) {
  const platform::Value* value = snapshot.find(name);
  EXPECT_NE(value, nullptr) << name;
  return value == nullptr ? -1 : std::get<std::int64_t>(value->data);
}

bool boolean_member(const Dictionary& snapshot, const std::string& name) {
  const platform::Value* value = snapshot.find(name);
  EXPECT_NE(value, nullptr) << name;
  return value != nullptr && std::get<bool>(value->data);
}

std::string string_member(const Dictionary& snapshot, const std::string& name) {
  const platform::Value* value = snapshot.find(name);
  EXPECT_NE(value, nullptr) << name;
  return value == nullptr ? "" : std::get<std::string>(value->data);
}

std::vector<std::string> process_names(const Dictionary& snapshot) {
  std::vector<std::string> names;
  const platform::Value* value = snapshot.find("processes");
  if (value == nullptr) return names;
  for (const platform::Value& name : std::get<platform::Array>(value->data)) {
    names.push_back(std::get<std::string>(name.data));
  }
  return names;
}

class EnvironmentSnapshotTest : public ::testing::Test {
 protected:
  std::optional<Dictionary> take() {
    platform::Platform platform = scripted.platform();
    std::optional<Dictionary> snapshot = take_environment_snapshot(platform, error);
    EXPECT_EQ(scripted.live, 0) << "a platform reference outlived the call";
    return snapshot;
  }

  void list(std::vector<std::int32_t> pids) { scripted.desktop.pids = std::move(pids); }
  void name(std::int32_t pid, std::string bytes, std::optional<int> length = std::nullopt) {
    scripted.desktop.names[pid] = {std::move(bytes), length};
  }

  ScriptedPlatform scripted;
  MessageSlot error;
};

TEST_F(EnvironmentSnapshotTest, CollectsDistinctSortedNamesAndCountsTheUnreadable) {
  scripted.desktop.display_count = 2;
  scripted.desktop.frontmost = ScriptedDesktop::Application{412, "Terminal"};
  list({31, 0, 32, 33, 34, 35, 36, 37, 38, 39, 40, -4, 31});
  name(31, "zsh");  // listed twice
  name(32, "zsh");  // shares its name with 31
  name(33, "Zsh");  // upper case sorts first
  name(34, "launchd");
  name(35, "launch");    // a prefix sorts before the longer name
  name(36, "\xff\xfe");  // not UTF-8
  name(37, "", 1);       // empty text
  name(38, "gone", 0);   // name not obtained
  name(39, "gone", -1);
  // 40 has no name at all

  const std::optional<Dictionary> snapshot = take();
  ASSERT_TRUE(snapshot) << error.value_or("");
  EXPECT_EQ(snapshot->members.size(), 8U);
  EXPECT_EQ(string_member(*snapshot, "captureMethod"), "one-second-snapshot");
  EXPECT_EQ(integer_member(*snapshot, "displayCount"), 2);
  EXPECT_EQ(integer_member(*snapshot, "foregroundPid"), 412);
  EXPECT_EQ(string_member(*snapshot, "foregroundProcess"), "Terminal");
  EXPECT_EQ(integer_member(*snapshot, "inaccessibleProcesses"), 5);
  EXPECT_TRUE(boolean_member(*snapshot, "processSnapshotAvailable"));
  EXPECT_FALSE(boolean_member(*snapshot, "processSnapshotTruncated"));
  EXPECT_EQ(process_names(*snapshot),
            (std::vector<std::string>{"Zsh", "launch", "launchd", "zsh"}));
  // Ids of 0 and below are never asked about.
  EXPECT_EQ(scripted.desktop.named_pids,
            (std::vector<std::int32_t>{31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 31}));
  EXPECT_EQ(scripted.desktop.listing_capacity, 32768U);
}

TEST_F(EnvironmentSnapshotTest, ForegroundNameFallsBackOnlyWhenAbsent) {
  const struct {
    std::optional<std::string> localized;
    std::string expected;
  } cases[] = {{std::nullopt, "unknown"}, {"", ""}, {"Mail", "Mail"}};
  for (const auto& c : cases) {
    scripted.desktop.frontmost = ScriptedDesktop::Application{9, c.localized};
    list({9});
    name(9, "mail");
    const std::optional<Dictionary> snapshot = take();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(string_member(*snapshot, "foregroundProcess"), c.expected);
  }
}

TEST_F(EnvironmentSnapshotTest, FailuresYieldTheirMessageAndNoResult) {
  const char* kDisplay = "macOS active display observation unavailable";
  const char* kForeground = "macOS foreground application observation unavailable";
  const struct {
    const char* reason;
    std::function<void(ScriptedDesktop&)> script;
    const char* message;
    std::size_t calls;  // operations reached before the failure showed
  } cases[] = {
      {"display query fails", [](ScriptedDesktop& d) { d.display_status = 1001; }, kDisplay, 1},
      {"no active display, before anything else is asked",
       [](ScriptedDesktop& d) {
         d.display_count = 0;
         d.frontmost.reset();
         d.calloc_fails = true;
       },
       kDisplay, 1},
      {"no frontmost application", [](ScriptedDesktop& d) { d.frontmost.reset(); }, kForeground, 2},
      {"frontmost pid 0", [](ScriptedDesktop& d) { d.frontmost->pid = 0; }, kForeground, 3},
      {"frontmost pid negative", [](ScriptedDesktop& d) { d.frontmost->pid = -7; }, kForeground, 3},
      {"allocation fails", [](ScriptedDesktop& d) { d.calloc_fails = true; },
       "macOS process snapshot allocation failed", 4},
      {"listing fails", [](ScriptedDesktop& d) { d.listing_result = -1; },
       "macOS process enumeration unavailable", 5},
      {"listing is empty", [](ScriptedDesktop& d) { d.listing_result = 0; },
       "macOS process enumeration unavailable", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    ScriptedPlatform fresh;
    fresh.desktop.pids = {1};
    fresh.desktop.names[1] = {"init", std::nullopt};
    c.script(fresh.desktop);
    platform::Platform platform = fresh.platform();
    MessageSlot slot;
    EXPECT_FALSE(take_environment_snapshot(platform, slot));
    EXPECT_EQ(slot, c.message);
    EXPECT_EQ(fresh.desktop.calls.size(), c.calls);
    EXPECT_EQ(fresh.live, 0);
  }
}

TEST_F(EnvironmentSnapshotTest, AFullListingIsFlaggedAndReadOnlyToTheBlockSize) {
  const struct {
    std::size_t listed;
    std::optional<int> reported;
    bool truncated;
  } cases[] = {{32767, std::nullopt, false}, {32768, std::nullopt, true}, {32768, 40000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.listed);
    ScriptedPlatform fresh;
    fresh.desktop.pids.resize(c.listed);
    std::iota(fresh.desktop.pids.begin(), fresh.desktop.pids.end(), 1);
    fresh.desktop.listing_result = c.reported;
    platform::Platform platform = fresh.platform();
    MessageSlot slot;
    const std::optional<Dictionary> snapshot = take_environment_snapshot(platform, slot);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(boolean_member(*snapshot, "processSnapshotTruncated"), c.truncated);
    EXPECT_EQ(fresh.desktop.named_pids.size(), c.listed);
    EXPECT_EQ(integer_member(*snapshot, "inaccessibleProcesses"),
              static_cast<std::int64_t>(c.listed));
  }
}

TEST_F(EnvironmentSnapshotTest, ALongNameIsCutAndFlagged) {
  const struct {
    std::string bytes;
    std::optional<int> reported;
    std::size_t listed_length;  // 0: not listed
    bool truncated;
  } cases[] = {
      {std::string(1022, 'a'), std::nullopt, 1022, false},
      {std::string(1023, 'a'), std::nullopt, 1023, true},
      {std::string(1024, 'a'), std::nullopt, 1023, true},  // fills the buffer, no terminator
      {std::string(1023, 'a') + "\xff", 5000, 1023, true},
      {"\xff", 1023, 0, true},  // flagged even though the name is not listed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    scripted.desktop.names.clear();
    list({5});
    name(5, c.bytes, c.reported);
    const std::optional<Dictionary> snapshot = take();
    ASSERT_TRUE(snapshot);
    const std::vector<std::string> names = process_names(*snapshot);
    if (c.listed_length == 0) {
      EXPECT_TRUE(names.empty());
      EXPECT_EQ(integer_member(*snapshot, "inaccessibleProcesses"), 1);
    } else {
      ASSERT_EQ(names.size(), 1U);
      EXPECT_EQ(names[0], std::string(c.listed_length, 'a'));
    }
    EXPECT_EQ(boolean_member(*snapshot, "processSnapshotTruncated"), c.truncated);
  }
}

TEST_F(EnvironmentSnapshotTest, PlatformExceptionsPropagateWithEveryReferenceReleased) {
  const std::vector<std::string> desktop_operations = {"CGGetActiveDisplayList",
                                                       "frontmostApplication",
                                                       "processIdentifier",
                                                       "localizedName",
                                                       "calloc",
                                                       "proc_listallpids",
                                                       "proc_name",
                                                       "compare"};
  for (const std::string& operation : desktop_operations) {
    SCOPED_TRACE(operation);
    ScriptedPlatform fresh;
    fresh.desktop.frontmost = ScriptedDesktop::Application{3, "Finder"};
    fresh.desktop.pids = {3, 4};
    fresh.desktop.names[3] = {"Finder", std::nullopt};
    fresh.desktop.names[4] = {"Dock", std::nullopt};
    fresh.desktop.throwing = {operation};
    platform::Platform platform = fresh.platform();
    MessageSlot slot;
    EXPECT_THROW(take_environment_snapshot(platform, slot), platform::PlatformException);
    EXPECT_EQ(fresh.live, 0);
  }
  list({3});
  name(3, "Finder");
  scripted.foundation.throwing = {"stringWithUTF8String"};
  platform::Platform platform = scripted.platform();
  EXPECT_THROW(take_environment_snapshot(platform, error), platform::PlatformException);
  EXPECT_EQ(scripted.live, 0);
}

}  // namespace
}  // namespace ktarn::bridge
