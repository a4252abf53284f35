#pragma once
// The time texts of the result list.

#include <cstdint>
#include <string>

namespace dravik {

// "d-m-yyyy h:m:s" without leading zeros, no time-zone change.
std::string NtfsTimeText(std::uint64_t fileTime);
// "dd-mm-yyyy " (day bits 0-4, month bits 5-8, year bits 9-15 from 1980).
std::string FatDateText(std::uint16_t date);

struct CivilTime {
  int year, month, day, hour, minute, second;
  std::uint32_t nanoseconds;
};

// A FILETIME (100 ns ticks since 1601-01-01 UTC) as calendar fields.
CivilTime CivilFromFileTime(std::uint64_t fileTime);
// Seconds since 1970-01-01 UTC of a calendar date and time.
std::int64_t UnixSecondsFromCivil(int year, int month, int day, int hour, int minute, int second);

}  // namespace dravik
