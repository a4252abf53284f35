#pragma once
// Stamping written files with the times their file system recorded.

#include <cstdint>
#include <filesystem>

namespace dravik {

// Access and modification time from a FILETIME (creation time is not kept
// by this platform's file systems).
void ApplyNtfsTimes(const std::filesystem::path& path, std::uint64_t fileTime);

// The day of a FAT date at the time of day of saving (UTC). An invalid date
// leaves the times as they are.
void ApplyFatDate(const std::filesystem::path& path, std::uint16_t date);

}  // namespace dravik
