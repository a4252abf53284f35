#pragma once
// The sector range of an Extensive Scan, checked as the user gave it.

#include <cstdint>
#include <optional>
#include <string>

#include "util/Outcome.h"

namespace dravik {

// Failed, with what is wrong as its message, when the range cannot be searched.
struct ScanRange : Outcome {
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;  // end - start
};

// start and end as typed; no end means the whole image from start on
// (end = start + imageSectors - 1).
ScanRange CheckScanRange(const std::string& start, const std::optional<std::string>& end, std::uint64_t imageSectors);

}  // namespace dravik
