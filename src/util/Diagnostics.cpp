#include "util/Diagnostics.h"

namespace dravik {

void Diagnostics::Add(std::uint64_t sector, std::string what, std::string cause) {
  std::lock_guard lock(mutex_);
  entries_.push_back({sector, std::move(what), std::move(cause)});
}

std::vector<DiagnosticEntry> Diagnostics::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

bool Diagnostics::Empty() const {
  std::lock_guard lock(mutex_);
  return entries_.empty();
}

std::string Diagnostics::Describe(const DiagnosticEntry& entry) {
  std::string text = "sector " + std::to_string(entry.sector) + ": " + entry.what;
  if (!entry.cause.empty()) text += " (likely cause: " + entry.cause + ")";
  return text;
}

}  // namespace dravik
