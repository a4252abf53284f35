#include "save/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include "fs/TimeText.h"

namespace dravik {

namespace {

constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

void SetTimes(const std::filesystem::path& path, std::int64_t seconds, long nanoseconds) {
  const timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds}, {static_cast<time_t>(seconds), nanoseconds}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace

void ApplyNtfsTimes(const std::filesystem::path& path, std::uint64_t fileTime) {
  const auto seconds = static_cast<std::int64_t>(fileTime / 10'000'000) - kSecondsFrom1601To1970;
  SetTimes(path, seconds, static_cast<long>(fileTime % 10'000'000) * 100);
}

void ApplyFatDate(const std::filesystem::path& path, std::uint16_t date) {
  const int day = date & 31;
  const int month = (date >> 5) & 15;
  const int year = 1980 + (date >> 9);
  if (day < 1 || month < 1 || month > 12) return;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t secondOfDay = now.tv_sec % 86400;
  const std::int64_t midnight = UnixSecondsFromCivil(year, month, day, 0, 0, 0);
  SetTimes(path, midnight + secondOfDay, now.tv_nsec);
}

}  // namespace dravik
