#include "vdisk/ImageFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace dravik {

std::unique_ptr<ImageFile> ImageFile::Open(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
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
