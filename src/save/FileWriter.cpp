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

constexpr std::uint64_t kBufferedPiece = 1024 * 1024;  // read and written through a buffer
constexpr std::uint64_t kKernelPiece = 64 * 1024 * 1024;  // copied by the kernel

bool Exists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

bool PassedOverAsDeleted(DeletedMode mode, bool deleted) {
  return (mode == DeletedMode::kOnly && !deleted) || (mode == DeletedMode::kExclude && deleted);
}

bool IsImage(const SaveContext& context, const std::filesystem::path& path) {
  std::error_code error;
  return !context.image.empty() && std::filesystem::equivalent(path, context.image, error);
}

}  // namespace

std::optional<std::filesystem::path> ChooseDestination(const SaveContext& context, const std::filesystem::path& folder,
                                                       std::u16string& name, bool forSave, bool deleted) {
  std::filesystem::path path = folder / PathFromName(SafeFileName(name));
  if (!forSave && !IsImage(context, path)) return path;
  if (!forSave) return std::nullopt;
  if (!context.filter.Accepts(name)) return std::nullopt;
  if (PassedOverAsDeleted(context.settings.deleted, deleted)) return std::nullopt;
  if (!Exists(path)) return path;
  switch (context.settings.duplicates) {
    case DuplicateMode::kSkip: return std::nullopt;
    case DuplicateMode::kOverwrite:
      if (!IsImage(context, path)) return path;
      break;
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

bool OutputFile::CopyFrom(const FileSpan& source) {
  if (!kernelCopy_) return false;
  auto in = static_cast<off_t>(source.offset);
  auto out = static_cast<off_t>(position_);
  std::uint64_t left = source.length;
  while (left > 0) {
    const ssize_t copied = ::copy_file_range(source.fd, &in, fd_, &out, static_cast<std::size_t>(left), 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied <= 0) {
      // Not possible between these files (or the source ended): the caller
      // reads and writes the bytes instead, over what was copied.
      if (copied < 0 && errno != EIO) kernelCopy_ = false;
      return false;
    }
    left -= static_cast<std::uint64_t>(copied);
  }
  position_ += source.length;
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

namespace {

// Copies up to bytes of the sectors from lba without a buffer when they lie
// in the image file as they are; the bytes copied, 0 when not done.
std::uint64_t CopyInKernel(const SaveContext& context, OutputFile& file, std::uint64_t lba, std::uint64_t bytes) {
  const auto span = context.reader.Locate(lba, (bytes + kSectorSize - 1) / kSectorSize);
  if (!span || span->length < kSectorSize) return 0;
  const std::uint64_t take = std::min(bytes, span->length / kSectorSize * kSectorSize);
  return file.CopyFrom({span->fd, span->offset, take}) ? take : 0;
}

}  // namespace

std::uint64_t CopySectorRuns(const SaveContext& context, OutputFile& file, const std::vector<SectorRun>& runs,
                             std::uint64_t size, bool forSave) {
  std::uint64_t written = 0;
  std::vector<std::uint8_t> buffer;
  const auto interrupted = [&] { return context.control.StopRequested() || context.control.SkipRequested(); };
  for (const SectorRun& run : runs) {
    const std::uint64_t runBytes = run.sectors * kSectorSize;
    for (std::uint64_t at = 0; at < runBytes && written < size;) {
      if (interrupted()) return written;
      if (forSave) context.control.ReportPercent(size ? static_cast<int>(written * 100 / size) : 0);
      const std::uint64_t left = std::min(runBytes - at, size - written);
      std::uint64_t bytes = left;
      if (!run.firstSector) {
        file.Skip(bytes);
      } else if (const std::uint64_t copied =
                     CopyInKernel(context, file, *run.firstSector + at / kSectorSize, std::min(left, kKernelPiece))) {
        bytes = copied;
      } else {
        bytes = std::min(left, kBufferedPiece);
        const std::uint64_t sectors = (bytes + kSectorSize - 1) / kSectorSize;
        buffer.resize(static_cast<std::size_t>(sectors * kSectorSize));
        if (!context.reader.Read(*run.firstSector + at / kSectorSize, static_cast<std::uint32_t>(sectors), buffer))
          context.control.CountFailedRead();
        if (!file.Write(buffer.data(), static_cast<std::size_t>(bytes))) return written;
      }
      written += bytes;
      at += bytes;
    }
  }
  return written;
}

}  // namespace dravik
