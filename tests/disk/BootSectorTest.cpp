// The decoded boot sector of every FAT16, FAT32 and NTFS volume of the
// partition fixtures, against fsstat on the raw disk; the plausibility
// checks; and the reasons the parameter readers give for a volume they
// cannot read, on copies of the fixtures with one thing broken.

#include <gtest/gtest.h>

#include <algorithm>

#include "PartitionFixtures.h"
#include "disk/BootSector.h"
#include "fs/FsParamsReader.h"
#include "disk/SectorReader.h"
#include "fs/QuickScan.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"
#include "vdisk/ByteSource.h"

namespace dravik {
namespace {

using test::DiskCopy;
using test::ListedEntries;
using test::PartitionFixture;
using test::ReadLayout;

std::string NameText(const boot::Name& name) { return std::string(name.begin(), name.end()); }

// Record bytes as the signed clusters-per-record byte gives them.
std::uint32_t RecordBytes(std::int8_t clusters, std::uint32_t clusterBytes) {
  return clusters < 0 ? 1u << -clusters : static_cast<std::uint32_t>(clusters) * clusterBytes;
}

TEST(BootSectorTest, DecodesWhatFsstatReports) {
  for (const char* disk : {"mbr", "classic"}) {
    const DiskCopy copy(disk);
    for (const PartitionEntry& entry : ListedEntries(ReadLayout(disk))) {
      SCOPED_TRACE(std::string(disk) + " " + FsName(entry.code) + " at " + std::to_string(entry.start));
      const auto sector = copy.Sector(entry.start);
      const boot::BootSector b = boot::Decode(sector);
      const test::FsstatReport r = test::Fsstat(PartitionFixture(std::string(disk) + ".raw"), entry.start);
      EXPECT_TRUE(b.signature);
      EXPECT_EQ(b.bytesPerSector, r.sectorSize);
      EXPECT_EQ(std::uint32_t{b.sectorsPerCluster} * b.bytesPerSector, r.clusterBytes);
      EXPECT_EQ(boot::FsCodeFromLabels(sector), entry.code);
      EXPECT_EQ(boot::RecogniseBootSector(sector).code, entry.code);
      if (entry.code == kNtfs) {
        ASSERT_TRUE(r.mftCluster && r.mftMirrorCluster && r.mftEntryBytes && r.indexRecordBytes && r.totalEnd);
        EXPECT_EQ(NameText(b.oemName), "NTFS    ");
        EXPECT_EQ(b.mftCluster, *r.mftCluster);
        EXPECT_EQ(b.mirrorCluster, *r.mftMirrorCluster);
        EXPECT_EQ(RecordBytes(b.clustersPerMftRecord, r.clusterBytes), *r.mftEntryBytes);
        EXPECT_EQ(RecordBytes(b.clustersPerIndexRecord, r.clusterBytes), *r.indexRecordBytes);
        EXPECT_EQ(b.indexRecordUnused, 0u);
        EXPECT_EQ(b.totalSectors64, *r.totalEnd + 1);
        EXPECT_TRUE(boot::IsNtfsBootSector(sector));
        EXPECT_FALSE(boot::IsFatBootSector(sector));
        continue;
      }
      ASSERT_TRUE(r.reservedEnd && r.fat0Start && r.fat0End && r.fat1Start && r.clusterAreaStart && r.totalEnd);
      EXPECT_EQ(b.reservedSectors, *r.reservedEnd + 1);
      EXPECT_EQ(b.fatCount, 2u);
      EXPECT_EQ(entry.code == kFat32 ? b.fatSize32 : b.fatSize16, *r.fat0End - *r.fat0Start + 1);
      EXPECT_EQ(b.FatTotalSectors(), *r.totalEnd + 1);
      EXPECT_EQ(b.media, 0xF8);
      if (entry.code == kFat16) {
        ASSERT_TRUE(r.rootDirStart);
        EXPECT_EQ(b.rootEntries * 32u / 512u, *r.clusterAreaStart - *r.rootDirStart);
        EXPECT_EQ(NameText(b.fat16Type), "FAT16   ");
      } else {
        EXPECT_EQ(b.rootEntries, 0u);
        EXPECT_EQ(b.rootCluster, 2u);
        EXPECT_EQ(NameText(b.fat32Type), "FAT32   ");
      }
      EXPECT_TRUE(boot::IsFatBootSector(sector));
      EXPECT_FALSE(boot::IsNtfsBootSector(sector));
    }
  }
}

TEST(BootSectorTest, ClusterSizesAreOneToOneHundredTwentyEightPowersOfTwo) {
  for (std::uint64_t s = 1; s <= 128; s *= 2) EXPECT_EQ(boot::ClusterSizeProblem(s), "") << s;
  EXPECT_EQ(boot::ClusterSizeProblem(0), "sectors per cluster 0 is 0");
  EXPECT_EQ(boot::ClusterSizeProblem(3), "sectors per cluster 3 is not a power of two");
  EXPECT_EQ(boot::ClusterSizeProblem(96), "sectors per cluster 96 is not a power of two");
  EXPECT_EQ(boot::ClusterSizeProblem(256), "sectors per cluster 256 is more than 128");
}

std::vector<PartitionEntry> EntriesWithCode(const std::string& disk, std::uint16_t code) {
  std::vector<PartitionEntry> entries;
  for (const PartitionEntry& e : ListedEntries(ReadLayout(disk)))
    if (e.code == code) entries.push_back(e);
  EXPECT_FALSE(entries.empty()) << disk << " has no partition of code " << code;
  return entries;
}

// True when an entry at sector names what (a part of its text).
bool Says(const Diagnostics& diagnostics, std::uint64_t sector, const std::string& what) {
  const auto entries = diagnostics.Entries();
  return std::any_of(entries.begin(), entries.end(), [&](const DiagnosticEntry& e) {
    return e.sector == sector && e.what.find(what) != std::string::npos && !e.cause.empty();
  });
}

std::string Listing(const Diagnostics& diagnostics) {
  std::string text;
  for (const DiagnosticEntry& e : diagnostics.Entries()) text += Diagnostics::Describe(e) + "\n";
  return text;
}

TEST(ParamsDiagnosticsTest, NtfsClusterSizeBrokenInBothCopies) {
  const PartitionEntry entry = EntriesWithCode("mbr", kNtfs).front();
  const std::uint64_t last = entry.start + entry.sectors - 1;
  DiskCopy copy("mbr");
  copy.Patch(entry.start * 512 + boot::kSectorsPerClusterOffset, {3});
  // One copy broken: the other is used, and the reader says why.
  {
    const auto source = copy.OpenRaw();
    FsParams params = FsParams::ForPartition(entry);
    Diagnostics diagnostics;
    ASSERT_TRUE(ReadFsParams(SectorReader(*source), params, ScanControl(), diagnostics));
    EXPECT_TRUE(Says(diagnostics, entry.start, "sectors per cluster 3 is not a power of two")) << Listing(diagnostics);
  }
  copy.Patch(last * 512 + boot::kSectorsPerClusterOffset, {96});
  const auto source = copy.OpenRaw();
  const SectorReader reader(*source);
  FsParams params = FsParams::ForPartition(entry);
  Diagnostics diagnostics;
  EXPECT_FALSE(ReadFsParams(reader, params, ScanControl(), diagnostics));
  EXPECT_TRUE(Says(diagnostics, entry.start, "sectors per cluster 3 is not a power of two")) << Listing(diagnostics);
  EXPECT_TRUE(Says(diagnostics, last, "sectors per cluster 96 is not a power of two")) << Listing(diagnostics);

  // The Quick Scan passes on what the reader and the calculation said.
  RecoveryStore store;
  ScanControl control;
  Diagnostics quick;
  const QuickScanResult result = RunQuickScan(reader, entry, store, control, quick);
  EXPECT_EQ(result.verdict, Verdict::kFailed);
  EXPECT_TRUE(Says(quick, last, "sectors per cluster 96")) << Listing(quick);
  EXPECT_TRUE(Says(quick, entry.start, "calculated only for FAT")) << Listing(quick);
  EXPECT_EQ(Diagnostics::Describe(quick.Entries().front()),
            "sector " + std::to_string(entry.start) +
                ": boot sector's sectors per cluster 3 is not a power of two (likely cause: a damaged boot sector)");
}

TEST(ParamsDiagnosticsTest, NtfsMftClusterBrokenInBothCopies) {
  const PartitionEntry entry = EntriesWithCode("mbr", kNtfs).front();
  const std::uint64_t last = entry.start + entry.sectors - 1;
  DiskCopy copy("mbr");
  const boot::BootSector intact = boot::Decode(copy.Sector(entry.start));
  const std::vector<std::uint8_t> farCluster = {0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0};  // 2^24
  for (const std::uint64_t at : {entry.start, last}) {
    copy.Patch(at * 512 + boot::kMftClusterOffset, farCluster);
    copy.Patch(at * 512 + boot::kMirrorClusterOffset, farCluster);
  }
  FsParams params = FsParams::ForPartition(entry);
  Diagnostics diagnostics;
  EXPECT_FALSE(ReadFsParams(SectorReader(*copy.OpenRaw()), params, ScanControl(), diagnostics));
  const std::uint64_t named = entry.start + (std::uint64_t{1} << 24) * intact.sectorsPerCluster;
  EXPECT_TRUE(Says(diagnostics, named, "no \"FILE\" record where the boot sector at " + std::to_string(entry.start) +
                                           " puts the MFT"))
      << Listing(diagnostics);
  EXPECT_TRUE(Says(diagnostics, named, "puts the MFT mirror")) << Listing(diagnostics);
}

TEST(ParamsDiagnosticsTest, FatBootSectorsLostOrWrong) {
  // FAT32 with both copies gone: the calculation finds the volume, and the
  // reader has said which sectors it could not use.
  const PartitionEntry fat32 = EntriesWithCode("mbr", kFat32).front();
  {
    DiskCopy copy("mbr");
    copy.ZeroSector(fat32.start);
    copy.ZeroSector(fat32.start + 6);
    const auto source = copy.OpenRaw();
    FsParams params = FsParams::ForPartition(fat32);
    Diagnostics diagnostics;
    EXPECT_FALSE(ReadFsParams(SectorReader(*source), params, ScanControl(), diagnostics));
    EXPECT_TRUE(Says(diagnostics, fat32.start, "not 55 AA")) << Listing(diagnostics);
    EXPECT_TRUE(Says(diagnostics, fat32.start + 6, "not 55 AA")) << Listing(diagnostics);
    ScanControl control;
    ASSERT_TRUE(CalculateFsParams(SectorReader(*source), params, control, diagnostics));
    EXPECT_EQ(diagnostics.Entries().size(), 2u) << Listing(diagnostics);
  }
  // FAT16 whose reserved sector count is wrong: the second FAT is not where
  // the boot sector puts it.
  const PartitionEntry fat16 = EntriesWithCode("mbr", kFat16).front();
  DiskCopy copy("mbr");
  const boot::BootSector intact = boot::Decode(copy.Sector(fat16.start));
  copy.Patch(fat16.start * 512 + boot::kReservedSectorsOffset, {0x11, 0x00});
  FsParams params = FsParams::ForPartition(fat16);
  Diagnostics diagnostics;
  EXPECT_FALSE(ReadFsParams(SectorReader(*copy.OpenRaw()), params, ScanControl(), diagnostics));
  EXPECT_TRUE(Says(diagnostics, fat16.start + 17 + intact.fatSize16,
                   "the second FAT does not begin with the media byte F8 here (reserved sectors 17, FAT size " +
                       std::to_string(intact.fatSize16) + ")"))
      << Listing(diagnostics);
}

TEST(ParamsDiagnosticsTest, CalculationSaysHowManyFolderStartsItFound) {
  const PartitionEntry fat16 = EntriesWithCode("mbr", kFat16).front();
  DiskCopy copy("mbr");
  copy.ZeroSector(fat16.start);
  const auto source = copy.OpenRaw();
  // A volume of one sector holds no folder.
  FsParams params = FsParams::ForPartition({fat16.start, 1, kFat16});
  ScanControl control;
  Diagnostics diagnostics;
  EXPECT_FALSE(CalculateFsParams(SectorReader(*source), params, control, diagnostics));
  EXPECT_TRUE(
      Says(diagnostics, fat16.start, "fewer than two folder starts (\".\" and \"..\") in the data area: 0 found"))
      << Listing(diagnostics);
}

}  // namespace
}  // namespace dravik
