#include "fs/ext/FileMap.h"

namespace dravik::ext {

void FileMap::Add(std::uint64_t logical, std::uint64_t physical, std::uint64_t count) {
  if (count == 0) return;
  if (!runs.empty()) {
    MappedRun& last = runs.back();
    if (last.logical + last.count == logical && last.physical + last.count == physical) {
      last.count += count;
      return;
    }
  }
  runs.push_back({logical, physical, count});
}

void FileMap::Damage(std::string reason) {
  if (!damaged) why = std::move(reason);
  damaged = true;
}

void FileMap::FailChecksum(std::string reason) {
  if (!damaged && !checksumFails) why = std::move(reason);
  checksumFails = true;
}

}  // namespace dravik::ext
