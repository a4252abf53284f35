#include "snapshot/SnapshotFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/FamilyRegistry.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik {

namespace {

namespace fs = std::filesystem;

int WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

std::optional<std::vector<std::uint8_t>> ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace

std::string DefaultSnapshotName(const fs::path& image, ScanMode mode, const std::tm& localTime) {
  char moment[64];
  const char* format = mode == ScanMode::kFileTrace ? "%d-%m-%Y_%H.%M.%S" : "%m-%d-%Y_%H.%M.%S";
  std::strftime(moment, sizeof moment, format, &localTime);
  return image.filename().string() + "_" + ScanModeName(mode) + "_" + moment;
}

fs::path WithSnapshotExtension(const fs::path& path) {
  const std::string text = path.string();
  const std::string extension = SnapshotTexts::kExtension;
  if (text.size() >= extension.size() && text.compare(text.size() - extension.size(), extension.size(), extension) == 0)
    return path;
  return fs::path(text + extension);
}

std::string ReplaceQuestion(const fs::path& path) { return path.string() + SnapshotTexts::kReplaceQuestion; }

std::string ModeMismatchMessage(ScanMode stored) {
  const std::string name = ScanModeName(stored);
  return "Snapshot was saved using " + name + ". Select " + name + " mode and then load Snapshot.";
}

int WriteSnapshotFile(const fs::path& path, std::span<const std::uint8_t> bytes) {
  std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return errno;
  int error = WriteAll(fd, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  // mkstemp makes the file readable by its owner only; a snapshot gets the
  // permissions any new file of the user gets.
  if (error == 0) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::chmod(temporary.c_str(), 0666 & ~mask) != 0) error = errno;
  }
  if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

LoadedSnapshot LoadSnapshotFile(const fs::path& given, std::optional<ScanMode> expectedMode) {
  const fs::path path = WithSnapshotExtension(given);
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return {std::nullopt, path.string() + SnapshotTexts::kDoesNotExist};
  const auto bytes = ReadWhole(path);
  if (!bytes) return {std::nullopt, SnapshotTexts::kCannotOpen};
  const auto mode = SnapshotModeOf(*bytes);
  if (!mode) return {std::nullopt, SnapshotTexts::kInvalidSnapshot};
  if (expectedMode && *mode != *expectedMode) return {std::nullopt, ModeMismatchMessage(*mode)};
  DecodedSnapshot decoded = DecodeSnapshot(*bytes);
  return {std::move(decoded.snapshot), std::move(decoded.message)};
}

bool SnapshotFitsDisk(const Snapshot& snapshot, const SectorReader& reader) {
  return SnapshotFitsDisk(snapshot.info, snapshot.store, snapshot.tracedFiles, reader);
}

bool SnapshotFitsDisk(const SnapshotInfo& info, const RecoveryStore& store, std::span<const FoundFile> tracedFiles,
                      const SectorReader& reader) {
  const std::uint64_t sectors = reader.SectorCount();
  const FsParams& p = info.params;
  const auto within = [&](std::uint64_t sector) { return sector < sectors; };
  if (!within(p.partitionStart) || (p.fsEnd != 0 && !within(p.fsEnd))) return false;
  for (const std::uint64_t sector : {p.clusterBase, p.firstFatLba, p.secondFatLba, p.mftStart, p.mftMirrorStart})
    if (sector != 0 && !within(sector)) return false;
  for (const FoundFile& file : tracedFiles)
    if (!within(file.firstSector)) return false;
  const auto family = FamilyOfCode(p.fsType);
  return !family || FamilyOf(*family).ResultFitsDisk(p, store, reader);
}

}  // namespace dravik
