#include "bridge/platform/software/proc_processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ktarn::platform::software {
namespace {

struct DirectoryCloser {
  void operator()(DIR* directory) const { closedir(directory); }
};

// A /proc entry names a process when it is a positive decimal number that fits a process id.
std::optional<std::int32_t> process_id_of(std::string_view entry) {
  std::int32_t pid = 0;
  const auto [end, status] = std::from_chars(entry.data(), entry.data() + entry.size(), pid);
  if (status != std::errc() || end != entry.data() + entry.size() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

// Reads up to buffer.size() bytes of a small file; the count read, or none on failure.
std::optional<std::size_t> read_small_file(const std::string& path, std::span<char> buffer) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return std::nullopt;
  std::size_t filled = 0;
  bool failed = false;
  while (filled < buffer.size()) {
    const ssize_t got = read(descriptor, buffer.data() + filled, buffer.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(descriptor);
  if (failed) return std::nullopt;
  return filled;
}

}  // namespace

int list_process_ids(std::span<std::int32_t> block) {
  const std::unique_ptr<DIR, DirectoryCloser> proc(opendir("/proc"));
  if (!proc) return 0;
  const std::size_t capacity = std::min<std::size_t>(block.size(), INT_MAX);
  std::size_t stored = 0;
  while (const dirent* entry = readdir(proc.get())) {
    const std::optional<std::int32_t> pid = process_id_of(entry->d_name);
    if (!pid) continue;
    if (stored == capacity) break;  // one more process than fits: the block is full
    block[stored++] = *pid;
  }
  return static_cast<int>(stored);
}

int read_process_name(std::int32_t pid, std::span<char> buffer) {
  if (pid <= 0 || buffer.empty()) return 0;
  const std::optional<std::size_t> read =
      read_small_file("/proc/" + std::to_string(pid) + "/comm", buffer.first(buffer.size() - 1));
  if (!read) return 0;
  std::size_t length = *read;
  if (length > 0 && buffer[length - 1] == '\n') --length;
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // namespace ktarn::platform::software
