#include "bridge/platform/software/desktop/proc_processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/c_handle.hpp"
#include "base/utf8.hpp"

namespace ktarn::platform::software {
namespace {

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

// The kernel keeps at most this many bytes of a process's name; a name of exactly this length
// may have been cut.
constexpr std::size_t kKernelNameLimit = 15;

std::string_view base_name(std::string_view path) {
  const std::string_view::size_type slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The file name of the program the process runs. A program replaced or removed since it was
// started (a package upgrade, say) is still named, without the kernel's " (deleted)" mark.
std::string executable_name(const std::string& directory) {
  const std::string link = directory + "/exe";
  std::array<char, PATH_MAX> target{};
  const ssize_t length = readlink(link.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<std::size_t>(length) == target.size()) return {};
  std::string_view path(target.data(), static_cast<std::size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  struct stat program {};
  if (path.ends_with(kDeleted) && stat(link.c_str(), &program) == 0 && program.st_nlink == 0) {
    path.remove_suffix(kDeleted.size());
  }
  return std::string(base_name(path));
}

// The file name in the first argument the process was started with, when it holds one whole.
std::string first_argument_name(const std::string& directory) {
  std::array<char, PATH_MAX> arguments{};
  const std::optional<std::size_t> read = read_small_file(directory + "/cmdline", arguments);
  if (!read) return {};
  const std::string_view text(arguments.data(), *read);
  const std::string_view::size_type end = text.find('\0');
  if (end == std::string_view::npos) return {};
  return std::string(base_name(text.substr(0, end)));
}

// Whether a file name is the whole of a name the kernel cut: it continues the cut name, is no
// longer than a file name can be, and is well-formed UTF-8. A name the process chose for itself
// is thus never swapped for another.
bool completes(const std::string& candidate, std::string_view cut) {
  return candidate.size() > cut.size() && candidate.size() <= NAME_MAX &&
         candidate.starts_with(cut) && is_valid_utf8(candidate);
}

// A name the kernel cut at its limit, completed from the program's file name, or else from the
// first argument (the program's path is readable only for one's own processes, the arguments
// for all, and a program started through a link is named by the link only there).
std::optional<std::string> completed_name(const std::string& directory, std::string_view cut) {
  if (std::string name = executable_name(directory); completes(name, cut)) return name;
  if (std::string name = first_argument_name(directory); completes(name, cut)) return name;
  return std::nullopt;
}

}  // namespace

int list_process_ids(std::span<std::int32_t> block) {
  const CHandle<DIR, closedir> proc(opendir("/proc"));
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
  const std::string directory = "/proc/" + std::to_string(pid);
  std::array<char, kKernelNameLimit + 2> kept{};  // the name, its line end, and one byte more
  const std::optional<std::size_t> read = read_small_file(directory + "/comm", kept);
  if (!read) return 0;
  std::string_view name(kept.data(), *read);
  if (name.ends_with('\n')) name.remove_suffix(1);
  std::optional<std::string> whole;
  if (name.size() == kKernelNameLimit) whole = completed_name(directory, name);
  if (whole) name = *whole;
  const std::size_t length = std::min(name.size(), buffer.size() - 1);
  std::copy_n(name.data(), length, buffer.data());
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // namespace ktarn::platform::software
