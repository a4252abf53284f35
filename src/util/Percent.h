#pragma once
// The share of a job done, for progress bars.

#include <algorithm>
#include <cstdint>

namespace dravik {

// done of total as a whole percent, at most 99: 100 is shown when the job
// ends, not when its last item begins. 0 when there is nothing to do.
inline int PercentDone(std::uint64_t done, std::uint64_t total) {
  return total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(done * 100 / total, 99));
}

}  // namespace dravik
