#include "save/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace dravik {

namespace {

timespec ToTimespec(const std::optional<UnixTime>& time) {
  if (!time) return {0, UTIME_OMIT};
  return {static_cast<time_t>(time->seconds), static_cast<long>(time->nanoseconds)};
}

}  // namespace

int ApplyTimes(const std::filesystem::path& path, const SavedTimes& times) {
  if (!times.access && !times.modification) return 0;
  const timespec stamps[2] = {ToTimespec(times.access), ToTimespec(times.modification)};
  return ::utimensat(AT_FDCWD, path.c_str(), stamps, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

}  // namespace dravik
