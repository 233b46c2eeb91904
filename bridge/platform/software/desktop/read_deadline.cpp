#include "bridge/platform/software/desktop/read_deadline.hpp"

#include <algorithm>
#include <climits>

namespace ktarn::platform::software {

int milliseconds_left(Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT_MAX));
}

}  // namespace ktarn::platform::software
