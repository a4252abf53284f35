#include "save/FileWriter.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "disk/SectorReader.h"
#include "save/SafeName.h"
#include "util/Utf.h"

namespace dravik {

namespace {

constexpr std::uint64_t kBufferedPiece = 1024 * 1024;  // read and written through a buffer
constexpr std::uint64_t kKernelPiece = 64 * 1024 * 1024;  // copied by the kernel

// No more renamed copies than this are tried for one name.
constexpr std::uint32_t kMaxCopies = 1'000'000;

// 0 when nothing stands at path, EEXIST when something does (a link too,
// wherever it points), otherwise the errno that keeps the path from being
// examined: a folder that cannot be searched, a link loop, a path too long.
int Probe(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) return EEXIST;
  return errno == ENOENT ? 0 : errno;
}

bool IsImage(const SaveContext& context, const std::filesystem::path& path) {
  std::error_code error;
  return !context.image.empty() && std::filesystem::equivalent(path, context.image, error);
}

Destination Write(std::filesystem::path path) { return {Destination::Choice::kWrite, std::move(path), 0}; }
Destination Fail(std::filesystem::path path, int error) { return {Destination::Choice::kFail, std::move(path), error}; }
Destination PassOver(std::filesystem::path path, bool byFilter = false) {
  return {Destination::Choice::kPassOver, std::move(path), 0, byFilter};
}

}  // namespace

LeftOut LeftOutBySettings(const RecoverySettings& settings, const FilterList& filter, std::u16string_view name,
                          bool deleted) {
  const DeletedMode mode = settings.deleted;
  if ((mode == DeletedMode::kOnly && !deleted) || (mode == DeletedMode::kExclude && deleted))
    return LeftOut::kByDeletedSetting;
  return filter.Accepts(name) ? LeftOut::kNo : LeftOut::kByFilter;
}

Destination ChooseDestination(const SaveContext& context, const std::filesystem::path& folder, std::u16string& name,
                              bool forSave, bool deleted) {
  std::filesystem::path path = folder / PathFromName(SafeFileName(name));
  const std::u16string original = name;
  name = FromUtf8(path.filename().string());
  if (!forSave) return IsImage(context, path) ? PassOver(path) : Write(path);
  if (const LeftOut left = LeftOutBySettings(context.settings, context.filter, original, deleted); left != LeftOut::kNo)
    return PassOver(path, left == LeftOut::kByFilter);
  const int found = Probe(path);
  if (found == 0) return Write(path);
  if (found != EEXIST) return Fail(path, found);
  switch (context.settings.duplicates) {
    case DuplicateMode::kSkip: return PassOver(path);
    case DuplicateMode::kOverwrite:
      if (!IsImage(context, path)) return Write(path);
      break;
    case DuplicateMode::kRename: break;
  }
  for (std::uint32_t n = 1; n <= kMaxCopies; ++n) {
    const std::u16string candidate = u"Copy (" + FromUtf8(std::to_string(n)) + u" ) of " + original;
    path = folder / PathFromName(SafeFileName(candidate));
    const int taken = Probe(path);
    if (taken == 0) {
      name = FromUtf8(path.filename().string());
      return Write(path);
    }
    if (taken != EEXIST) return Fail(path, taken);
  }
  return Fail(path, EEXIST);
}

std::optional<OutputFile> OutputFile::Create(const std::filesystem::path& path, int& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0 && errno == ELOOP) {
    // A link stands where the file goes: replace the link, never its target.
    if (::unlink(path.c_str()) == 0)
      fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  }
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  error = 0;
  return OutputFile(fd);
}

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Write(const std::uint8_t* data, std::size_t size) {
  if (error_ != 0) return false;
  while (size > 0) {
    const ssize_t written = ::pwrite(fd_, data, size, static_cast<off_t>(position_));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // A write that takes nothing without saying why is taken as a full device.
      error_ = written < 0 ? errno : ENOSPC;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
    position_ += static_cast<std::uint64_t>(written);
  }
  extendAtClose_ = false;
  return true;
}

bool OutputFile::CopyFrom(const FileSpan& source) {
  if (!kernelCopy_ || error_ != 0) return false;
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

void OutputFile::Skip(std::uint64_t size) {
  position_ += size;
  extendAtClose_ = size > 0 || extendAtClose_;
}

int OutputFile::Close() {
  if (fd_ < 0) return error_;
  if (extendAtClose_ && error_ == 0 && ::ftruncate(fd_, static_cast<off_t>(position_)) != 0) error_ = errno;
  // The descriptor is gone whatever close says, so it is never retried.
  if (::close(fd_) != 0 && error_ == 0 && errno != EINTR) error_ = errno;
  fd_ = -1;
  return error_;
}

FileOutcome CountRefused(const SaveContext& context, const Destination& destination) {
  if (destination.choice == Destination::Choice::kFail) return CountNotCreated(context, destination.path, destination.error);
  context.control.CountPassedOver(destination.byFilter);
  return FileOutcome::kPassedOver;
}

FileOutcome CountNotCreated(const SaveContext& context, const std::filesystem::path& path, int error) {
  context.control.CountFailed({path, error, SaveFailure::Step::kFile});
  return FileOutcome::kFailed;
}

namespace {

// No more "NAME (n).partial" names than this are tried for one cut file.
constexpr std::uint32_t kMaxPartialNames = 1000;

// Renames from to to unless something stands at to: 0, or the errno.
int RenameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
  // The destination's file system cannot refuse by itself: look first.
  if (const int found = Probe(to)) return found;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Moves a file cut short on request to "NAME.partial" (or "NAME (n).partial"
// when that is taken), never replacing anything. Returns where it is now;
// when no such name can be had it is removed and none is returned.
std::optional<std::filesystem::path> KeepAsPartial(const std::filesystem::path& path) {
  const std::filesystem::path folder = path.parent_path();
  const std::string name = path.filename().string();
  for (std::uint32_t n = 1; n <= kMaxPartialNames; ++n) {
    const std::string suffix = n == 1 ? ".partial" : " (" + std::to_string(n) + ").partial";
    const std::filesystem::path target = folder / (FitNameLength(name, kMaxNameBytes - suffix.size()) + suffix);
    const int error = RenameWithoutReplacing(path, target);
    if (error == 0) return target;
    if (error != EEXIST) break;
  }
  ::unlink(path.c_str());
  return std::nullopt;
}

}  // namespace

FileOutcome EndFile(const SaveContext& context, const std::filesystem::path& path, const WrittenFile& file) {
  SaveControl& control = context.control;
  if (file.writeError != 0) {
    ::unlink(path.c_str());
    control.CountFailed({path, file.writeError, SaveFailure::Step::kFile, file.size});
    return FileOutcome::kFailed;
  }
  if (file.bytes < file.size) {
    if (control.StopRequested() || control.SkipRequested()) {
      const auto kept = KeepAsPartial(path);
      control.CountInterrupted(kept.value_or(path), file.size - (kept ? file.bytes : 0));
      return FileOutcome::kInterrupted;
    }
    // The data ended before the size without a request: a cut-off file.
    ::unlink(path.c_str());
    control.CountFailed({path, 0, SaveFailure::Step::kDamaged, file.size});
    return FileOutcome::kFailed;
  }
  if (file.times) {
    if (const int error = ApplyTimes(path, *file.times)) {
      control.CountFailed({path, error, SaveFailure::Step::kTimes, 0});
      return FileOutcome::kFailed;
    }
  }
  if (file.missing > 0)
    control.CountIncomplete(path, file.missing);
  else
    control.CountSaved();
  return FileOutcome::kSaved;
}

std::uint64_t CountUnreadableBytes(const SaveContext& context, std::uint64_t first, std::uint64_t count,
                                   std::uint64_t bytes) {
  std::array<std::uint8_t, kSectorSize> sector{};
  std::uint64_t missing = 0;
  std::uint32_t failed = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (context.reader.Read(first + i, 1, sector)) continue;
    ++failed;
    const std::uint64_t at = i * kSectorSize;
    if (at < bytes) missing += std::min<std::uint64_t>(kSectorSize, bytes - at);
  }
  context.control.CountFailedReads(failed);
  return missing;
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

CopiedBytes CopySectorRuns(const SaveContext& context, OutputFile& file, const std::vector<SectorRun>& runs,
                           std::uint64_t size, bool forSave) {
  CopiedBytes result;
  std::uint64_t& written = result.written;
  std::vector<std::uint8_t> buffer;
  const auto interrupted = [&] { return context.control.StopRequested() || context.control.SkipRequested(); };
  for (const SectorRun& run : runs) {
    const std::uint64_t runBytes = run.sectors * kSectorSize;
    for (std::uint64_t at = 0; at < runBytes && written < size;) {
      if (interrupted()) return result;
      if (forSave) context.control.ReportWritten(written, size);
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
        const std::uint64_t first = *run.firstSector + at / kSectorSize;
        // The sectors that could be read are in the buffer, the others are
        // zeros: read one by one, they tell how much of the file is missing.
        if (!context.reader.Read(first, static_cast<std::uint32_t>(sectors), buffer))
          result.unreadable += CountUnreadableBytes(context, first, sectors, bytes);
        if (!file.Write(buffer.data(), static_cast<std::size_t>(bytes))) return result;
      }
      written += bytes;
      at += bytes;
    }
  }
  return result;
}

}  // namespace dravik
