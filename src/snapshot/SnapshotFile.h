#pragma once
// Snapshots as files: the name a new one is offered under, the ".dvsf"
// rule, writing one so that a failed write never leaves a cut-off snapshot
// under the chosen name, and loading one with the checks the user is told
// about (missing file, not a snapshot, made in another mode).

#include <ctime>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "snapshot/Snapshot.h"

namespace dravik {

class SectorReader;

// IMAGE_Quick Scan_12-31-2026_23.59.07 (month first for Quick and
// Extensive Scan, day first for File Trace); no extension.
std::string DefaultSnapshotName(const std::filesystem::path& image, ScanMode mode, const std::tm& localTime);

// The path with ".dvsf" appended unless it ends in exactly that.
std::filesystem::path WithSnapshotExtension(const std::filesystem::path& path);

// "PATH already exists.\r\nDo you want to replace it?"
std::string ReplaceQuestion(const std::filesystem::path& path);
// "Snapshot was saved using MODE. Select MODE mode and then load Snapshot."
std::string ModeMismatchMessage(ScanMode stored);

// Writes the bytes through a temporary file beside path that replaces it
// only when every byte reached the disk. 0 when done; otherwise the errno.
int WriteSnapshotFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

struct LoadedSnapshot {
  std::optional<Snapshot> snapshot;
  std::string message;  // why not
};

// Loads the snapshot at path (".dvsf" appended by the rule). With
// expectedMode, a snapshot of another mode is refused with
// ModeMismatchMessage before anything else is read.
LoadedSnapshot LoadSnapshotFile(const std::filesystem::path& path, std::optional<ScanMode> expectedMode);

// True when the disk can be the one the snapshot was made of: every sector
// it names lies within the disk, a sample of its NTFS files' records are MFT
// records, and a FAT it knows begins as a FAT does. A snapshot of another
// image never sends saving past the end or into unrelated sectors unnoticed.
bool SnapshotFitsDisk(const Snapshot& snapshot, const SectorReader& reader);
// The same check for a snapshot whose records were taken out of it.
bool SnapshotFitsDisk(const SnapshotInfo& info, const RecoveryStore& store, std::span<const FoundFile> tracedFiles,
                      const SectorReader& reader);

}  // namespace dravik
