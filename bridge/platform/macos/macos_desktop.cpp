// The desktop's C interfaces: the active displays through Core Graphics, the processes and their
// names through the process information library.
#include <CoreGraphics/CoreGraphics.h>
#include <libproc.h>

#include <algorithm>
#include <limits>
#include <new>

#include "bridge/platform/macos/exception_edge.hpp"
#include "bridge/platform/macos/macos_platform.hpp"

namespace ktarn::platform::macos {

CGError MacosDesktop::cg_get_active_display_list(std::uint32_t max_displays,
                                                 std::uint32_t& display_count) {
  return guarded(
      [&]() -> CGError { return CGGetActiveDisplayList(max_displays, nullptr, &display_count); });
}

std::unique_ptr<std::int32_t[]> MacosDesktop::calloc_pid_block(std::size_t count) {
  return std::unique_ptr<std::int32_t[]>(new (std::nothrow) std::int32_t[count]());
}

// The library reports how many ids it stored; never more than the block holds.
int MacosDesktop::proc_listallpids(std::span<std::int32_t> block) {
  return guarded([&] {
    const int capacity = static_cast<int>(std::min<std::size_t>(
        block.size(), std::numeric_limits<int>::max() / sizeof(std::int32_t)));
    const int stored = ::proc_listallpids(block.data(), capacity * int{sizeof(std::int32_t)});
    return std::min(stored, capacity);
  });
}

int MacosDesktop::proc_name(std::int32_t pid, std::span<char> buffer) {
  return guarded([&] {
    const auto size =
        std::min<std::size_t>(buffer.size(), std::numeric_limits<std::uint32_t>::max());
    return ::proc_name(pid, buffer.data(), static_cast<std::uint32_t>(size));
  });
}

}  // namespace ktarn::platform::macos
