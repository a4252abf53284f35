#pragma once
// An image file opened read-only. Every read is positional (pread), so the file
// can be shared by a scan and a preview without a file position between them.

#include <filesystem>
#include <memory>
#include <string>

#include "vdisk/ByteSource.h"

namespace dravik {

class ImageFile final : public ByteSource {
 public:
  // Opens an existing regular file or block device for reading; null when it
  // cannot be opened. why (when given) then says what stood in the way: the
  // system's error text ("Permission denied"), or the kind of file that can
  // hold no image (a FIFO, a socket, a character device, a folder). A FIFO is
  // refused without waiting for a writer.
  static std::unique_ptr<ImageFile> Open(const std::filesystem::path& path, std::string* why = nullptr);

  ~ImageFile() override;
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::uint64_t Size() const override { return size_; }
  std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const override;

 private:
  ImageFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  int fd_;
  std::uint64_t size_;
};

}  // namespace dravik
