#pragma once
// The times shown beside long work: how long it has run, and how long it
// may still take at the rate so far.

#include <QString>
#include <algorithm>
#include <optional>

namespace dravik::app {

// "hh:mm:ss", every field two digits (hours go on past 99).
inline QString ClockText(qint64 milliseconds) {
  const qint64 seconds = std::max<qint64>(milliseconds, 0) / 1000;
  return QStringLiteral("%1:%2:%3")
      .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
      .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The time left when done (0 to 1) of the work took elapsed milliseconds.
// None until the rate is steady: the first seconds and the first percent
// (opening, the first reads) say little about the rest.
inline std::optional<qint64> TimeLeft(qint64 elapsedMs, double done) {
  constexpr qint64 kSteadyAfterMs = 5000;
  constexpr double kSteadyAfterDone = 0.02;
  if (elapsedMs < kSteadyAfterMs || done < kSteadyAfterDone || done > 1) return std::nullopt;
  return static_cast<qint64>(static_cast<double>(elapsedMs) * (1 - done) / done);
}

}  // namespace dravik::app
