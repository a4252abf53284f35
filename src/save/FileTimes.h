#pragma once
// Stamping written files with the times their file system recorded.

#include <filesystem>
#include <optional>

#include "fs/TimeText.h"

namespace dravik {

// The access and modification times a saved file gets; a time that is not
// known leaves the file's own time as it is.
struct SavedTimes {
  std::optional<UnixTime> access;
  std::optional<UnixTime> modification;
};

// Sets the times on the file at path (a link there is not followed).
// Returns 0, or the errno of the failure.
int ApplyTimes(const std::filesystem::path& path, const SavedTimes& times);

}  // namespace dravik
