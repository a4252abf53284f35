#include "fs/ItemTime.h"

namespace dravik {

namespace {

std::string FullText(TimeEncoding encoding, std::uint64_t stamp) {
  if (encoding == TimeEncoding::kDos) return FatDateTimeText(ItemTimes::DosDate(stamp), ItemTimes::DosTime(stamp));
  return NtfsTimeText(stamp);
}

std::optional<UnixTime> Moment(TimeEncoding encoding, std::uint64_t stamp) {
  if (encoding == TimeEncoding::kDos)
    return UnixTimeFromFatDateTime(ItemTimes::DosDate(stamp), ItemTimes::DosTime(stamp));
  return UnixTimeFromFileTime(stamp);
}

}  // namespace

std::string CreatedText(const ItemTimes& times) {
  if (times.encoding == TimeEncoding::kDos) return FatDateText(ItemTimes::DosDate(times.modified));
  return FullText(times.encoding, times.created);
}

std::string ModifiedText(const ItemTimes& times) { return FullText(times.encoding, times.modified); }

std::optional<UnixTime> CreatedMoment(const ItemTimes& times) {
  if (times.encoding == TimeEncoding::kDos) return std::nullopt;
  return Moment(times.encoding, times.created);
}

std::optional<UnixTime> ModifiedMoment(const ItemTimes& times) { return Moment(times.encoding, times.modified); }

std::optional<UnixTime> AccessedMoment(const ItemTimes& times) { return Moment(times.encoding, times.accessed); }

}  // namespace dravik
