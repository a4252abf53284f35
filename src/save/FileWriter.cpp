#include "save/FileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "disk/SectorReader.h"
#include "save/SafeName.h"
#include "util/Utf.h"

namespace dravik {

namespace {

constexpr std::uint64_t kMaxReadSectors = 2048;  // 1 MiB per read

bool Exists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

bool PassedOverAsDeleted(DeletedMode mode, bool deleted) {
  return (mode == DeletedMode::kOnly && !deleted) || (mode == DeletedMode::kExclude && deleted);
}

}  // namespace

std::optional<std::filesystem::path> ChooseDestination(const SaveContext& context, const std::filesystem::path& folder,
                                                       std::u16string& name, bool forSave, bool deleted) {
  std::filesystem::path path = folder / PathFromName(SafeFileName(name));
  if (!forSave) return path;
  if (!context.filter.Accepts(name)) return std::nullopt;
  if (PassedOverAsDeleted(context.settings.deleted, deleted)) return std::nullopt;
  if (!Exists(path)) return path;
  switch (context.settings.duplicates) {
    case DuplicateMode::kSkip: return std::nullopt;
    case DuplicateMode::kOverwrite: return path;
    case DuplicateMode::kRename: break;
  }
  for (std::uint32_t n = 1;; ++n) {
    const std::u16string candidate = u"Copy (" + FromUtf8(std::to_string(n)) + u" ) of " + name;
    path = folder / PathFromName(SafeFileName(candidate));
    if (!Exists(path)) {
      name = candidate;
      return path;
    }
  }
}

std::optional<OutputFile> OutputFile::Create(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ELOOP) {
    // A link stands where the file goes: replace the link, never its target.
    ::unlink(path.c_str());
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  if (fd < 0) return std::nullopt;
  return OutputFile(fd);
}

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::pwrite(fd_, data, size, static_cast<off_t>(position_));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
    position_ += static_cast<std::uint64_t>(written);
  }
  extendAtClose_ = false;
  return true;
}

bool OutputFile::Skip(std::uint64_t size) {
  position_ += size;
  extendAtClose_ = size > 0 || extendAtClose_;
  return true;
}

void OutputFile::Close() {
  if (fd_ < 0) return;
  if (extendAtClose_) (void)::ftruncate(fd_, static_cast<off_t>(position_));
  ::close(fd_);
  fd_ = -1;
}

std::uint64_t CopySectorRuns(const SaveContext& context, OutputFile& file, const std::vector<SectorRun>& runs,
                             std::uint64_t size, bool forSave) {
  std::uint64_t written = 0;
  std::vector<std::uint8_t> buffer;
  const auto interrupted = [&] { return context.control.StopRequested() || context.control.SkipRequested(); };
  for (const SectorRun& run : runs) {
    for (std::uint64_t done = 0; done < run.sectors && written < size;) {
      if (interrupted()) return written;
      if (forSave) context.control.ReportPercent(size ? static_cast<int>(written * 100 / size) : 0);
      const std::uint64_t sectors = std::min(kMaxReadSectors, run.sectors - done);
      const std::uint64_t bytes = std::min(sectors * kSectorSize, size - written);
      if (!run.firstSector) {
        file.Skip(bytes);
      } else {
        buffer.resize(static_cast<std::size_t>(sectors * kSectorSize));
        if (!context.reader.Read(*run.firstSector + done, static_cast<std::uint32_t>(sectors), buffer))
          context.control.CountFailedRead();
        if (!file.Write(buffer.data(), static_cast<std::size_t>(bytes))) return written;
      }
      written += bytes;
      done += sectors;
    }
  }
  return written;
}

}  // namespace dravik
