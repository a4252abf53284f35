#include "vdisk/ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace dravik {

namespace {

// What a file of this mode is, when it is nothing an image can be read from;
// null for a regular file or a block device.
const char* UnreadableKind(mode_t mode) {
  if (S_ISREG(mode) || S_ISBLK(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  return "a special file";
}

std::unique_ptr<ImageFile> Refuse(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return nullptr;
}

std::string KindText(const char* kind) { return std::string("it is ") + kind + ", not an image file"; }

}  // namespace

// The file's kind is checked before it is opened, since opening a FIFO for
// reading waits for a writer; O_NONBLOCK keeps that from happening to a file
// that turns into a FIFO between the two steps, and the descriptor is checked
// again once open.
std::unique_ptr<ImageFile> ImageFile::Open(const std::filesystem::path& path, std::string* why) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return Refuse(why, std::strerror(errno));
  if (const char* kind = UnreadableKind(info.st_mode)) return Refuse(why, KindText(kind));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Refuse(why, std::strerror(errno));
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return Refuse(why, std::strerror(error));
  }
  if (const char* kind = UnreadableKind(info.st_mode)) {
    ::close(fd);
    return Refuse(why, KindText(kind));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A block device reports its size through lseek, a regular file through stat.
  std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
  if (!S_ISREG(info.st_mode)) {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::unique_ptr<ImageFile>(new ImageFile(fd, size));
}

ImageFile::~ImageFile() { ::close(fd_); }

bool ImageFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  constexpr auto kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  while (done < out.size() && offset <= kMaxOffset - done) {
    const ssize_t got = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), std::uint8_t{0});
  return done == out.size();
}

std::optional<FileSpan> ImageFile::Locate(std::uint64_t offset, std::uint64_t length) const {
  if (offset >= size_ || length == 0) return std::nullopt;
  return FileSpan{fd_, offset, std::min(length, size_ - offset)};
}

}  // namespace dravik
