#pragma once
// Reads a VHDX image as the bytes of its virtual disk, through the payload
// entries of its block allocation table; absent blocks read as zeros. A
// differencing image reads blocks that are not present, and the clear
// sectors of partly present ones, through its parent once one is attached.
// When the current header names a log, its active sequence is replayed in
// memory first, so every structure and block is read as the log leaves it;
// the file is never written. Headers and region tables are taken by their
// checksums, a damaged copy replaced by the other; metadata values that
// cannot be right are refused. What was worked around is kept in Repairs().
// A damaged image opens as far as its structures can be read, and without a
// block table every read fails.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vdisk/BlockMap.h"
#include "vdisk/ByteSource.h"
#include "vdisk/BlockTableSalvage.h"
#include "vdisk/DiskImage.h"
#include "vdisk/VhdxHeader.h"
#include "vdisk/VhdxFormat.h"
#include "vdisk/VhdxRegionTable.h"

namespace dravik {

class VhdxImage final : public DiskImage {
 public:
  struct Region {
    vhdx::KnownItem item;
    std::uint64_t fileOffset;
    std::uint32_t length;
  };

  struct MetadataItem {
    vhdx::KnownItem item;  // kInvalid for items the reader does not use, Page 83 data included
    bool isUser;
    bool isVirtualDisk;
    bool isRequired;
    std::uint32_t offset;  // from the start of the metadata region
    std::uint32_t length;
  };

  bool Open(const std::filesystem::path& path);
  bool Open(std::unique_ptr<ByteSource> file) override;
  void Close() override;

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override;
  std::optional<FileSpan> Locate(std::uint64_t offset, std::uint64_t length) const override;
  std::uint64_t Size() const override { return virtualDiskSize_; }
  std::optional<ByteRange> PresentRange(std::uint64_t offset) const override;

  const char* FormatName() const override { return "VHDX"; }
  std::string TypeText() const override { return diskTypeText_; }
  // The current header's data write GUID, which a child's parent_linkage names.
  ImageId Identity() const override { return header_ ? header_->dataWriteGuid : ImageId{}; }
  std::optional<ParentLink> ParentToFind() const override;
  // Whether the log was replayed, and how many of its entries.
  bool LogReplayed() const override { return logEntries_ > 0; }
  std::size_t LogEntriesReplayed() const { return logEntries_; }

  std::uint64_t VirtualDiskSize() const { return virtualDiskSize_; }
  const std::string& DiskTypeText() const { return diskTypeText_; }
  std::int32_t DataBlockCount() const;
  std::int32_t TotalBatEntries() const;
  std::uint32_t BlockSize() const { return blockSize_; }
  std::uint32_t LogicalSectorSize() const { return logicalSectorSize_; }
  std::uint32_t PhysicalSectorSize() const { return physicalSectorSize_; }
  double ChunkRatio() const { return geometry_.chunkRatio; }
  bool HasParent() const { return hasParent_; }
  std::uint64_t AllocatedSize() const { return std::uint64_t{blockSize_} * geometry_.dataBlockCount; }
  std::size_t PayloadBlockCount() const { return payloadBlocks_.size(); }
  const std::vector<Region>& Regions() const { return regions_; }
  const std::vector<MetadataItem>& Metadata() const { return metadata_; }
  // What the last Open could not read, for --verbose output.
  const std::string& Diagnostic() const override { return diagnostic_; }
  LostBlocks Lost() const override;
  void Place(const std::vector<BlockPlacement>& placements) override;

 private:
  void ChooseHeader();
  std::optional<vhdx::RegionTable> ChooseRegionTable();
  void TakeRegions(const vhdx::RegionTable& table);
  void InferMetadata(const std::vector<std::uint64_t>& batEntries);
  void CheckMetadataValues(const Region* bat);
  void Repaired(std::string structure, std::string problem, std::string action);
  void ReadMetadataTable(const Region& region);
  void ReadMetadataValues(const Region& region);
  void LoadBat(const std::vector<std::uint64_t>& batEntries);
  void SalvageBat();
  std::vector<TableEntry> JudgeBatEntries(BlockFileLayout& layout) const;
  std::uint64_t DataOffsetOf(std::uint64_t block) const;
  void ReplayLog();
  void Note(std::string what);
  ChildBlock PlaceOf(std::uint64_t block) const;
  std::uint32_t SectorSize() const { return logicalSectorSize_ ? logicalSectorSize_ : 512; }

  std::unique_ptr<ByteSource> file_;
  std::vector<Region> regions_;
  std::vector<MetadataItem> metadata_;
  // Payload BAT entries as stored, in virtual block order: bits 0-2 state,
  // bits 20-63 the file offset in MiB (0 = absent); kLostEntry for an entry
  // the salvage found lost.
  std::vector<std::uint64_t> payloadBlocks_;
  // Block areas in the file that the salvage found named by no entry and
  // could not place, in file order.
  std::vector<std::uint64_t> unplacedAreas_;
  // Sector bitmap BAT entries, one per chunk, as stored.
  std::vector<std::uint64_t> bitmapBlocks_;
  std::optional<vhdx::Header> header_;
  std::optional<ParentLink> parentLink_;
  std::size_t logEntries_ = 0;
  std::uint32_t blockSize_ = 0;
  bool hasParent_ = false;
  std::string diskTypeText_;
  std::uint64_t virtualDiskSize_ = 0;
  std::uint32_t logicalSectorSize_ = 0;
  std::uint32_t physicalSectorSize_ = 0;
  vhdx::BlockGeometry geometry_;
  std::string diagnostic_;
};

}  // namespace dravik
