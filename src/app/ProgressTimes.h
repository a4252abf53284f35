#pragma once
// The times shown beside long work, as the command line shows them too
// (util/WorkClock.h): how long it has run, and how long it may still take.

#include <QString>
#include <optional>

#include "util/WorkClock.h"

namespace dravik::app {

// "hh:mm:ss", every field two digits.
inline QString ClockText(qint64 milliseconds) { return QString::fromStdString(dravik::ClockText(milliseconds)); }

// The time left, once the rate is steady (see dravik::TimeLeftMs).
inline std::optional<qint64> TimeLeft(qint64 elapsedMs, double done) {
  const auto left = TimeLeftMs(elapsedMs, done);
  return left ? std::optional<qint64>(*left) : std::nullopt;
}

}  // namespace dravik::app
