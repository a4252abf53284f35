#pragma once
// The times of a recovered folder or file, kept in the encoding the file
// system wrote them in (so a snapshot gives back the very bytes it was made
// from), with the texts and moments the lists and the saved files use.

#include <cstdint>
#include <optional>
#include <string>

#include "fs/TimeText.h"

namespace dravik {

enum class TimeEncoding : std::uint8_t {
  kFileTime,  // 100 ns ticks since 1601-01-01 UTC; 0 is "not recorded"
  kDos,       // a date in the high 16 bits, a time of day in the low 16
};

struct ItemTimes {
  TimeEncoding encoding = TimeEncoding::kFileTime;
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t accessed = 0;

  static ItemTimes FileTimes(std::uint64_t created, std::uint64_t modified, std::uint64_t accessed) {
    return {TimeEncoding::kFileTime, created, modified, accessed};
  }
  // A FAT entry records no creation here: its write date and time, and the
  // date of its last access.
  static ItemTimes Dos(std::uint16_t writeDate, std::uint16_t writeTime, std::uint16_t accessDate) {
    return {TimeEncoding::kDos, 0, DosStamp(writeDate, writeTime), DosStamp(accessDate, 0)};
  }
  static std::uint64_t DosStamp(std::uint16_t date, std::uint16_t time) {
    return std::uint64_t{date} << 16 | time;
  }
  static std::uint16_t DosDate(std::uint64_t stamp) { return static_cast<std::uint16_t>(stamp >> 16); }
  static std::uint16_t DosTime(std::uint64_t stamp) { return static_cast<std::uint16_t>(stamp); }
};

// The Created column: the creation time, or where none is recorded (FAT)
// the write date alone.
std::string CreatedText(const ItemTimes& times);
std::string ModifiedText(const ItemTimes& times);

std::optional<UnixTime> CreatedMoment(const ItemTimes& times);
std::optional<UnixTime> ModifiedMoment(const ItemTimes& times);
std::optional<UnixTime> AccessedMoment(const ItemTimes& times);

}  // namespace dravik
