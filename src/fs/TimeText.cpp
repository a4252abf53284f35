#include "fs/TimeText.h"

#include <cstdio>

namespace dravik {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

}  // namespace

CivilTime CivilFromFileTime(std::uint64_t fileTime) {
  const auto seconds = static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970;
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  CivilTime t{};
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  t.nanoseconds = static_cast<std::uint32_t>(fileTime % kTicksPerSecond) * 100;
  return t;
}

std::int64_t UnixSecondsFromCivil(int year, int month, int day, int hour, int minute, int second) {
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
         minute * 60 + second;
}

std::string NtfsTimeText(std::uint64_t fileTime) {
  const CivilTime t = CivilFromFileTime(fileTime);
  char text[64];
  std::snprintf(text, sizeof text, "%02d-%02d-%d %02d:%02d:%02d", t.day, t.month, t.year, t.hour, t.minute, t.second);
  return text;
}

std::string FatDateText(std::uint16_t date) {
  char text[32];
  std::snprintf(text, sizeof text, "%02u-%02u-%u ", date & 31u, (date >> 5) & 15u, 1980u + (date >> 9));
  return text;
}

namespace {

struct FatTimeOfDay {
  int hour, minute, second;
};

std::optional<FatTimeOfDay> TimeOfDay(std::uint16_t time) {
  const int hour = time >> 11;
  const int minute = (time >> 5) & 63;
  const int second = (time & 31) * 2;
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  return FatTimeOfDay{hour, minute, second};
}

}  // namespace

std::string FatDateTimeText(std::uint16_t date, std::uint16_t time) {
  const FatTimeOfDay t = TimeOfDay(time).value_or(FatTimeOfDay{0, 0, 0});
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return FatDateText(date) + text;
}

std::optional<UnixTime> UnixTimeFromFileTime(std::uint64_t fileTime) {
  if (fileTime == 0) return std::nullopt;
  return UnixTime{static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kSecondsFrom1601To1970,
                  static_cast<std::int32_t>(fileTime % kTicksPerSecond) * 100};
}

std::optional<UnixTime> UnixTimeFromFatDateTime(std::uint16_t date, std::uint16_t time) {
  const int day = date & 31;
  const int month = (date >> 5) & 15;
  const int year = 1980 + (date >> 9);
  if (day < 1 || month < 1 || month > 12) return std::nullopt;
  const FatTimeOfDay t = TimeOfDay(time).value_or(FatTimeOfDay{0, 0, 0});
  return UnixTime{UnixSecondsFromCivil(year, month, day, t.hour, t.minute, t.second), 0};
}

std::string IsoUtcText(const UnixTime& time) {
  std::int64_t days = time.seconds / 86400;
  std::int64_t rest = time.seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int year = 0, month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

}  // namespace dravik
