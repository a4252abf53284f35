#pragma once
// Reads a VHD image (fixed, dynamic or differencing) as the bytes of its
// virtual disk. Fixed and unknown types read the file as it lies, up to the
// footer at its end; dynamic images read through the block allocation table,
// absent blocks as zeros. A differencing image reads its present blocks
// sector by sector through their bitmaps and everything else through its
// parent once one is attached (zeros until then). A file without any footer
// is read through its dynamic header when one is at 512, as a raw disk when
// it begins like one, and refused otherwise.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "vdisk/ByteSource.h"
#include "vdisk/BlockTableSalvage.h"
#include "vdisk/DiskImage.h"
#include "vdisk/VhdFormat.h"

namespace dravik {

class VhdImage final : public DiskImage {
 public:
  bool Open(const std::filesystem::path& path);
  bool Open(std::unique_ptr<ByteSource> file) override;
  void Close() override;

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const override;
  std::uint64_t Size() const override { return footer_.size; }
  std::optional<ByteRange> PresentRange(std::uint64_t offset) const override;

  const char* FormatName() const override { return "VHD"; }
  std::string TypeText() const override { return vhd::DiskTypeName(footer_.diskTypeCode); }
  ImageId Identity() const override { return uniqueId_; }
  std::optional<ParentLink> ParentToFind() const override { return parentLink_; }
  // Whether the footer in use carries the "conectix" cookie; a file without
  // one opens only through a dynamic header at 512 or as a raw disk whose
  // first sector carries a boot signature.
  bool HasFooterCookie() const { return hasFooterCookie_; }

  std::uint32_t DiskType() const { return footer_.diskTypeCode; }
  std::uint32_t Cylinders() const { return footer_.cylinders; }
  std::uint32_t Heads() const { return footer_.heads; }
  std::uint32_t SectorsPerTrack() const { return footer_.sectorsPerTrack; }
  std::uint32_t BlockSize() const { return blockSize_; }
  std::size_t BlockCount() const { return blockOffsets_.size(); }
  std::uint64_t BatOffset() const { return batOffset_; }
  // Why the last Open failed, or what it had to work around; for --verbose output.
  const std::string& Diagnostic() const override { return diagnostic_; }
  LostBlocks Lost() const override;
  void Place(const std::vector<BlockPlacement>& placements) override;

 private:
  bool ReadFooter();
  bool ReadWithoutFooter();
  bool ReadBlockTable();
  // A dynamic header inferred from the block table's shape, when the file's own was lost.
  std::optional<vhd::DynamicHeader> inferredHeader_;
  void CheckHeaderValues(vhd::DynamicHeader& header);
  void SalvageBat(std::vector<TableEntry>& entries, std::uint64_t tablesEnd);
  bool Fail(std::string why);
  bool IsDifferencing() const { return footer_.diskTypeCode == vhd::kDifferencing; }

  std::unique_ptr<ByteSource> file_;
  vhd::Footer footer_;
  ImageId uniqueId_;
  bool hasFooterCookie_ = false;
  std::optional<ParentLink> parentLink_;
  std::uint32_t blockSize_ = 0;
  std::uint32_t bitmapBytes_ = 0;
  std::uint64_t batOffset_ = 0;
  // Where the data of a fixed or unknown type ends in the file: at the footer
  // when the file ends in one, else at the end of the file.
  std::uint64_t dataEnd_ = 0;
  // File offset of each block's data; 0 when the block is absent.
  std::vector<std::uint64_t> blockOffsets_;
  // Where the data of each block area lies that the salvage found named by
  // no entry and could not place, in file order.
  std::vector<std::uint64_t> unplacedAreas_;
  std::string diagnostic_;
};

}  // namespace dravik
