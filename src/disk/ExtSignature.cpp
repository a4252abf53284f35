#include "disk/ExtSignature.h"

#include "disk/PartitionTable.h"

namespace dravik::ext {

std::uint16_t ExtCodeOfFeatures(std::uint32_t compat, std::uint32_t incompat, std::uint32_t roCompat) {
  constexpr std::uint32_t ext4Incompat = kIncompatExtents | kIncompat64Bit | kIncompatFlexBg | kIncompatMmp |
                                         kIncompatEaInode | kIncompatDirData | kIncompatCsumSeed |
                                         kIncompatLargeDir | kIncompatInlineData | kIncompatEncrypt |
                                         kIncompatCasefold;
  constexpr std::uint32_t ext4RoCompat =
      kRoCompatHugeFile | kRoCompatGdtCsum | kRoCompatDirNlink | kRoCompatExtraIsize | kRoCompatMetadataCsum;
  if ((incompat & ext4Incompat) != 0 || (roCompat & ext4RoCompat) != 0) return kExt4;
  if ((compat & kCompatHasJournal) != 0) return kExt3;
  return kExt2;
}

namespace {

constexpr std::uint32_t kMaxLogBlockSize = 6;  // 1024 << 6: 64 KiB

// A superblock's kind and length when its magic, block size and blocks count
// are sound and it is no external journal.
FoundExtVolume Recognise(Bytes sector) {
  if (le16(sector, kMagicOffset) != kMagic) return {};
  const std::uint32_t logBlockSize = le32(sector, kLogBlockSizeOffset);
  const std::uint32_t incompat = le32(sector, kFeatureIncompatOffset);
  if (logBlockSize > kMaxLogBlockSize || (incompat & kIncompatJournalDev) != 0) return {};
  std::uint64_t blocks = le32(sector, kBlocksCountLoOffset);
  // The high half of the count lies past the first 512 bytes; a reader of
  // the whole superblock adds it (RecogniseSuperblock sees one sector).
  if (blocks == 0) return {};
  const std::uint64_t blockSectors = (std::uint64_t{1024} << logBlockSize) / 512;
  return {ExtCodeOfFeatures(le32(sector, kFeatureCompatOffset), incompat, le32(sector, kFeatureRoCompatOffset)),
          blocks * blockSectors};
}

}  // namespace

FoundExtVolume RecogniseSuperblock(Bytes sector) {
  return le16(sector, kGroupOfCopyOffset) == 0 ? Recognise(sector) : FoundExtVolume{};
}

std::uint64_t DefaultGroup1CopySector(std::uint32_t blockSize) {
  const std::uint64_t firstDataBlock = blockSize == 1024 ? 1 : 0;
  return (firstDataBlock + std::uint64_t{blockSize} * 8) * blockSize / 512;
}

FoundExtVolume RecogniseGroup1Copy(Bytes sector, std::uint32_t blockSize) {
  if (le16(sector, kGroupOfCopyOffset) != 1 || le32(sector, kBlocksPerGroupOffset) != blockSize * 8 ||
      le32(sector, kLogBlockSizeOffset) > kMaxLogBlockSize || (1024u << le32(sector, kLogBlockSizeOffset)) != blockSize)
    return {};
  return Recognise(sector);
}

}  // namespace dravik::ext
