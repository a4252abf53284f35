#include "vdisk/RawImage.h"

#include <algorithm>

#include "vdisk/BlockMap.h"
#include "vdisk/LayoutInference.h"

namespace dravik {

// An empty file is no disk; any other file is one.
void RawImage::Close() {
  file_.reset();
  size_ = 0;
  diagnostic_.clear();
  repairs_.clear();
  noStructureFound_ = false;
}

bool RawImage::Open(std::unique_ptr<ByteSource> file) {
  Close();
  if (!file || file->Size() == 0) {
    diagnostic_ = "the file is empty";
    noStructureFound_ = true;
    return false;
  }
  file_ = std::move(file);
  size_ = std::max(file_->Size(), PartitionTableExtent(ReadBlock(*file_, 0, 512)));
  if (size_ > file_->Size())
    repairs_.push_back({"disk", "the file ends before the partition table's last partition (cut short?)",
                        "the missing " + std::to_string(size_ - file_->Size()) + " bytes read as unreadable zeros"});
  return true;
}

bool RawImage::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!file_) return FailWithZeros(out);
  return file_->ReadAt(offset, out);
}

std::optional<ByteRange> RawImage::PresentRange(std::uint64_t offset) const {
  if (!file_ || offset >= file_->Size()) return std::nullopt;
  return ByteRange{offset, file_->Size()};
}

std::optional<FileSpan> RawImage::Locate(std::uint64_t offset, std::uint64_t length) const {
  if (!file_) return std::nullopt;
  return file_->Locate(offset, length);
}

}  // namespace dravik
