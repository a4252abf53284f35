#pragma once
// Why an Extensive Scan's identification set aside a candidate that carried
// its family's signature (a boot sector it could not use), written into a
// Diagnostics for a --verbose listing. Bounded: a disk full of stale copies
// gives the first few and one line that says more were set aside.

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/Diagnostics.h"

namespace dravik {

class RejectionNotes {
 public:
  static constexpr std::size_t kMaxNotes = 16;

  explicit RejectionNotes(Diagnostics& diagnostics) : diagnostics_(diagnostics) {}

  void Add(std::uint64_t sector, std::string what, std::string cause) {
    if (count_ < kMaxNotes) {
      diagnostics_.Add(sector, std::move(what), std::move(cause));
    } else if (count_ == kMaxNotes) {
      diagnostics_.Add(sector, "more candidates were set aside; the first " + std::to_string(kMaxNotes) +
                                   " are listed");
    }
    ++count_;
  }

 private:
  Diagnostics& diagnostics_;
  std::size_t count_ = 0;
};

}  // namespace dravik
