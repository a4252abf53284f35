#pragma once
// A file read as the disk it holds, byte for byte: a .img, .raw or .dd copy
// of a disk, or any file the user asks to read that way (a container whose
// own structures are beyond repair but whose data lies in order inside it).

#include <memory>
#include <string>

#include "vdisk/DiskImage.h"

namespace dravik {

class RawImage final : public DiskImage {
 public:
  bool Open(std::unique_ptr<ByteSource> file) override;
  void Close() override;
  const std::string& Diagnostic() const override { return diagnostic_; }
  const char* FormatName() const override { return "raw"; }
  std::string TypeText() const override { return "Raw disk"; }
  ImageId Identity() const override { return {}; }
  std::optional<ParentLink> ParentToFind() const override { return std::nullopt; }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const override;
  std::optional<ByteRange> PresentRange(std::uint64_t offset) const override;
  // The file's size, or more when the partition table in its first sector
  // reaches farther (a copy cut short): the lost part reads as failing zeros.
  std::uint64_t Size() const override { return size_; }

 private:
  std::unique_ptr<ByteSource> file_;
  std::uint64_t size_ = 0;
  std::string diagnostic_;
};

}  // namespace dravik
