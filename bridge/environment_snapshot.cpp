#include "bridge/environment_snapshot.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

namespace ktarn::bridge {
namespace {

// One block of process ids per call; a listing that fills it is reported as possibly incomplete
// rather than retried with a larger block.
constexpr std::size_t kPidSlots = 32768;
constexpr std::size_t kNameBufferSize = 1024;
// A reported name length this long means the name may have been cut to fit the buffer.
constexpr int kCutNameLength = static_cast<int>(kNameBufferSize) - 1;

constexpr const char* kDisplayUnavailable = "macOS active display observation unavailable";
constexpr const char* kForegroundUnavailable =
    "macOS foreground application observation unavailable";
constexpr const char* kAllocationFailed = "macOS process snapshot allocation failed";
constexpr const char* kEnumerationUnavailable = "macOS process enumeration unavailable";

struct ProcessNames {
  std::set<std::string> names;  // equal names kept once
  std::int32_t inaccessible = 0;
  bool truncated = false;
};

std::optional<platform::Dictionary> fail(MessageSlot& error, const char* message) {
  error = message;
  return std::nullopt;
}

using NameBuffer = std::array<char, kNameBufferSize>;

// Reads one listed process's name into names, or counts it as inaccessible.
void examine_process(platform::Platform& platform, std::int32_t pid, NameBuffer& buffer,
                     ProcessNames& names) {
  buffer.fill('\0');
  const int length = platform.desktop.proc_name(pid, buffer);
  if (length <= 0) {
    ++names.inaccessible;
    return;
  }
  buffer.back() = '\0';
  std::optional<std::string> name = platform.foundation.string_with_utf8_string(buffer.data());
  if (name && !name->empty()) {
    names.names.insert(std::move(*name));
  } else {
    ++names.inaccessible;
  }
  if (length >= kCutNameLength) names.truncated = true;
}

ProcessNames examine_listing(platform::Platform& platform, std::span<const std::int32_t> pids,
                             int listed) {
  ProcessNames names;
  NameBuffer buffer;
  names.truncated = static_cast<std::size_t>(listed) >= pids.size();
  for (const std::int32_t pid :
       pids.first(std::min(static_cast<std::size_t>(listed), pids.size()))) {
    if (pid > 0) examine_process(platform, pid, buffer, names);
  }
  return names;
}

platform::Array sorted_names(platform::Desktop& desktop, const std::set<std::string>& names) {
  std::vector<std::string> ordered(names.begin(), names.end());
  std::sort(ordered.begin(), ordered.end(), [&desktop](const std::string& a, const std::string& b) {
    return desktop.compare(a, b) < 0;
  });
  platform::Array array;
  array.reserve(ordered.size());
  for (std::string& name : ordered) array.push_back(platform::Value{std::move(name)});
  return array;
}

platform::Dictionary build_snapshot(platform::Platform& platform,
                                    const platform::Object& application,
                                    std::uint32_t display_count, ProcessNames names) {
  platform::Desktop& desktop = platform.desktop;
  platform::Dictionary snapshot;
  snapshot.set("captureMethod", {std::string("one-second-snapshot")});
  snapshot.set("displayCount", {std::int64_t{display_count}});
  snapshot.set("foregroundPid", {std::int64_t{desktop.process_identifier(application)}});
  snapshot.set("foregroundProcess",
               {desktop.localized_name(application).value_or(std::string("unknown"))});
  snapshot.set("inaccessibleProcesses", {std::int64_t{names.inaccessible}});
  snapshot.set("processSnapshotAvailable", {true});
  snapshot.set("processSnapshotTruncated", {names.truncated});
  snapshot.set("processes", {sorted_names(desktop, names.names)});
  return snapshot;
}

}  // namespace

std::optional<platform::Dictionary> take_environment_snapshot(platform::Platform& platform,
                                                              MessageSlot& error) {
  platform::Desktop& desktop = platform.desktop;
  std::uint32_t display_count = 0;
  if (desktop.cg_get_active_display_list(0, display_count) != 0 || display_count == 0) {
    return fail(error, kDisplayUnavailable);
  }
  const platform::Ref application = desktop.frontmost_application();
  if (!application || desktop.process_identifier(*application) <= 0) {
    return fail(error, kForegroundUnavailable);
  }
  std::unique_ptr<std::int32_t[]> block = desktop.calloc_pid_block(kPidSlots);
  if (!block) return fail(error, kAllocationFailed);
  const std::span<std::int32_t> pids(block.get(), kPidSlots);
  const int listed = desktop.proc_listallpids(pids);
  if (listed <= 0) return fail(error, kEnumerationUnavailable);
  ProcessNames names = examine_listing(platform, pids, listed);
  block.reset();
  return build_snapshot(platform, *application, display_count, std::move(names));
}

std::optional<platform::Dictionary> run_snapshot(platform::Platform& platform,
                                                 const std::string& /*key_name*/,
                                                 const std::optional<std::string>& /*argument*/,
                                                 MessageSlot& error) {
  return take_environment_snapshot(platform, error);
}

}  // namespace ktarn::bridge
