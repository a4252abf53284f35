#pragma once
// The times both front ends show beside long work: how long it has run, and
// how long it may still take at the rate so far.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace dravik {

// "hh:mm:ss", every field two digits (hours go on past 99).
inline std::string ClockText(std::int64_t milliseconds) {
  const std::int64_t seconds = milliseconds > 0 ? milliseconds / 1000 : 0;
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

// The time left when done (0 to 1) of the work took elapsedMs. None until
// the rate is steady: the first seconds and the first percent (opening, the
// first reads) say little about the rest.
inline std::optional<std::int64_t> TimeLeftMs(std::int64_t elapsedMs, double done) {
  constexpr std::int64_t kSteadyAfterMs = 5000;
  constexpr double kSteadyAfterDone = 0.02;
  if (elapsedMs < kSteadyAfterMs || done < kSteadyAfterDone || done > 1) return std::nullopt;
  return static_cast<std::int64_t>(static_cast<double>(elapsedMs) * (1 - done) / done);
}

}  // namespace dravik
