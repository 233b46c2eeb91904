// The deadline the desktop sets on each question to its display server: every wait for the
// server, connecting included, ends at it. A point on the steady clock, so that a change to the
// wall clock moves no deadline.
#pragma once

#include <chrono>

namespace ktarn::platform::software {

using Deadline = std::chrono::steady_clock::time_point;

// Whole milliseconds left until the deadline, rounded up; 0 once it has passed.
int milliseconds_left(Deadline deadline);

}  // namespace ktarn::platform::software
