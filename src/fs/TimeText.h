#pragma once
// The time texts of the result list.

#include <cstdint>
#include <optional>
#include <string>

namespace dravik {

// "dd-mm-yyyy hh:mm:ss", every field but the year in two digits, no
// time-zone change.
std::string NtfsTimeText(std::uint64_t fileTime);
// "dd-mm-yyyy " (day bits 0-4, month bits 5-8, year bits 9-15 from 1980).
std::string FatDateText(std::uint16_t date);
// The date as above followed by "hh:mm:ss" (hour bits
// 11-15, minute bits 5-10, two-second units in bits 0-4).
std::string FatDateTimeText(std::uint16_t date, std::uint16_t time);

// A moment as seconds and nanoseconds since 1970-01-01 UTC.
struct UnixTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
};

// A FILETIME as a moment; none for 0, which stands for "not recorded".
std::optional<UnixTime> UnixTimeFromFileTime(std::uint64_t fileTime);
// A FAT date and time of day as a moment, both taken as UTC as the disk
// holds no zone; none for a date whose day or month is 0 or out of range. A
// time of day out of range counts as midnight.
std::optional<UnixTime> UnixTimeFromFatDateTime(std::uint16_t date, std::uint16_t time);
// "2015-03-04T05:06:07Z".
std::string IsoUtcText(const UnixTime& time);

struct CivilTime {
  int year, month, day, hour, minute, second;
  std::uint32_t nanoseconds;
};

// A FILETIME (100 ns ticks since 1601-01-01 UTC) as calendar fields.
CivilTime CivilFromFileTime(std::uint64_t fileTime);
// Seconds since 1970-01-01 UTC of a calendar date and time.
std::int64_t UnixSecondsFromCivil(int year, int month, int day, int hour, int minute, int second);

}  // namespace dravik
