// The desktop's two questions to its display server: how many displays are active, and which
// process owns the active window, with the window's class name. The build links exactly one
// backend that answers them: X11, or none when the build has no display server to ask. Each
// question is asked afresh, within the deadline the desktop sets, and is either answered whole
// or failed; nothing here ends the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/expected.hpp"
#include "bridge/platform/software/desktop/read_deadline.hpp"

namespace ktarn::platform::software {

struct ActiveWindow {
  std::int32_t pid = 0;  // the owner's process id, at least 1
  // The window's class name as UTF-8; none when the window names no class, or one longer than a
  // name (a backend reads a bounded amount and does not guess at the rest).
  std::optional<std::string> class_name;
};

// Why a question has no answer.
enum class DisplayFailure {
  kNoServer,    // no display server is named, or the build has no backend to reach one
  kNoAnswer,    // the server was not reached, refused, went away, cannot tell, or was late
  kFalseReply,  // a reply that does not hold what it states, or more than a question may cost
};

template <typename Answer>
using DisplayAnswer = Expected<Answer, DisplayFailure>;

// The number of active displays; 0 is an answer (a server with every monitor off).
DisplayAnswer<std::uint32_t> count_active_displays(Deadline deadline);

// The active window; none, as an answer, when no window is active or the active one does not
// name its process.
DisplayAnswer<std::optional<ActiveWindow>> find_active_window(Deadline deadline);

}  // namespace ktarn::platform::software
