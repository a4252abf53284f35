#include "fs/extensive/ScanRange.h"

#include <charconv>

#include "fs/extensive/ExtensiveTexts.h"

namespace dravik {

namespace {

// A whole number of decimal digits and nothing else.
std::optional<std::uint64_t> ParseSector(const std::string& text) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || at != end) return std::nullopt;
  return value;
}

}  // namespace

ScanRange CheckScanRange(const std::string& start, const std::optional<std::string>& end, std::uint64_t imageSectors) {
  ScanRange range;
  const auto first = ParseSector(start);
  if (!first) {
    range.Fail(ExtensiveTexts::kStartNotValid);
    return range;
  }
  std::uint64_t last = 0;
  if (end) {
    const auto given = ParseSector(*end);
    if (!given) {
      range.Fail(ExtensiveTexts::kEndNotValid);
      return range;
    }
    last = *given;
  } else {
    last = imageSectors > 0 ? *first + imageSectors - 1 : *first;
  }
  if (last <= *first) {
    range.Fail(ExtensiveTexts::kEndNotBigger);
    return range;
  }
  range.start = *first;
  range.sectors = last - *first;
  return range;
}

}  // namespace dravik
