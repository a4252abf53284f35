#pragma once
// Why a reader or a plausibility check said no: each entry names the sector
// it looked at, what it found there and the likely cause, so that a front
// end can answer "why was my volume not found". Passed by reference like
// ScanControl; entries may be added from several threads.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace dravik {

struct DiagnosticEntry {
  std::uint64_t sector = 0;  // where: the sector the reader looked at
  std::string what;          // what it found there
  std::string cause;         // the likely cause; may be empty
};

class Diagnostics {
 public:
  void Add(std::uint64_t sector, std::string what, std::string cause = {});

  // A copy of the entries in the order they were added.
  std::vector<DiagnosticEntry> Entries() const;
  bool Empty() const;

  // "sector 2048: what (likely cause: cause)", for a --verbose listing.
  static std::string Describe(const DiagnosticEntry& entry);

 private:
  mutable std::mutex mutex_;
  std::vector<DiagnosticEntry> entries_;
};

}  // namespace dravik
