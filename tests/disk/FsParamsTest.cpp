// File-system parameters of FAT16, FAT32 and NTFS volumes, read from their
// boot sectors or backup copies, or calculated for a FAT16 volume whose boot
// sector is lost. fsstat on the intact raw disk is the oracle.

#include <gtest/gtest.h>

#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "fs/FsParamsReader.h"
#include "disk/SectorReader.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using test::DiskCopy;
using test::ListedEntries;
using test::PartitionFixture;
using test::ReadLayout;

std::vector<PartitionEntry> EntriesWithCode(const std::string& disk, std::uint16_t code) {
  std::vector<PartitionEntry> entries;
  for (const PartitionEntry& e : ListedEntries(ReadLayout(disk)))
    if (e.code == code) entries.push_back(e);
  EXPECT_FALSE(entries.empty()) << disk << " has no partition of code " << code;
  return entries;
}

class ReadParamsTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ReadParamsTest, AgreeWithFsstat) {
  const std::string name = GetParam();
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, PartitionFixture(name + ".vhdx"), true).Usable());
  const SectorReader reader(disk);
  const ScanControl control;
  for (const PartitionEntry& entry : ListedEntries(ReadLayout(name))) {
    SCOPED_TRACE(std::string(FsName(entry.code)) + " at " + std::to_string(entry.start));
    FsParams params = FsParams::ForPartition(entry);
    ASSERT_TRUE(ReadFsParams(reader, params, control));
    EXPECT_EQ(params.partitionStart, entry.start);
    EXPECT_EQ(params.lastSector, entry.start + entry.sectors - 1);
    test::ExpectParamsMatchFsstat(params, test::Fsstat(PartitionFixture(name + ".raw"), entry.start), entry.start);
  }
}

INSTANTIATE_TEST_SUITE_P(Disks, ReadParamsTest, ::testing::Values("mbr", "extended", "gpt", "classic"),
                         [](const auto& caseInfo) { return std::string(caseInfo.param); });

// Reads the parameters of entry on the damaged copy and compares them with
// fsstat's report on the intact disk.
void ExpectReadFromCopy(const DiskCopy& copy, const std::string& disk, const PartitionEntry& entry) {
  const auto source = copy.OpenRaw();
  FsParams params = FsParams::ForPartition(entry);
  ASSERT_TRUE(ReadFsParams(SectorReader(*source), params, ScanControl()));
  test::ExpectParamsMatchFsstat(params, test::Fsstat(PartitionFixture(disk + ".raw"), entry.start), entry.start);
}

TEST(DamagedBootSectorTest, Fat32UsesTheBackupSixSectorsInThenCalculates) {
  for (const char* disk : {"mbr", "classic"}) {
    for (const PartitionEntry& entry : EntriesWithCode(disk, kFat32)) {
      SCOPED_TRACE(std::string(disk) + " FAT32 at " + std::to_string(entry.start));
      DiskCopy copy(disk);
      copy.ZeroSector(entry.start);
      ExpectReadFromCopy(copy, disk, entry);
      copy.ZeroSector(entry.start + 6);
      const auto source = copy.OpenRaw();
      FsParams params = FsParams::ForPartition(entry);
      EXPECT_FALSE(ReadFsParams(SectorReader(*source), params, ScanControl())) << "both copies lost";
      // Then the parameters are calculated from the FATs and the folders.
      params = FsParams::ForPartition(entry);
      ScanControl control;
      ASSERT_TRUE(CalculateFsParams(SectorReader(*source), params, control));
      test::ExpectParamsMatchFsstat(params, test::Fsstat(PartitionFixture(std::string(disk) + ".raw"), entry.start),
                                    entry.start);
    }
  }
}

TEST(DamagedBootSectorTest, NtfsUsesTheCopyInTheLastSector) {
  for (const char* disk : {"mbr", "classic"}) {
    for (const PartitionEntry& entry : EntriesWithCode(disk, kNtfs)) {
      SCOPED_TRACE(std::string(disk) + " NTFS at " + std::to_string(entry.start));
      DiskCopy copy(disk);
      copy.ZeroSector(entry.start);
      ExpectReadFromCopy(copy, disk, entry);
      copy.ZeroSector(entry.start + entry.sectors - 1);
      FsParams params = FsParams::ForPartition(entry);
      EXPECT_FALSE(ReadFsParams(SectorReader(*copy.OpenRaw()), params, ScanControl())) << "both copies lost";
    }
  }
}

// The boot sector is gone: the first FAT gives the reserved sectors, two
// folders' "." and ".." sectors the cluster size, the cluster base and the
// FAT size.
TEST(DamagedBootSectorTest, Fat16ParamsAreCalculated) {
  for (const char* disk : {"mbr", "extended", "gpt", "classic"}) {
    for (const PartitionEntry& entry : EntriesWithCode(disk, kFat16)) {
      SCOPED_TRACE(std::string(disk) + " FAT16 at " + std::to_string(entry.start));
      DiskCopy copy(disk);
      copy.ZeroSector(entry.start);
      const auto source = copy.OpenRaw();
      const SectorReader reader(*source);
      FsParams params = FsParams::ForPartition(entry);
      EXPECT_FALSE(ReadFsParams(reader, params, ScanControl()));
      params = FsParams::ForPartition(entry);
      ScanControl control;
      ASSERT_TRUE(CalculateFsParams(reader, params, control));
      EXPECT_FALSE(control.StopRequested());
      test::ExpectParamsMatchFsstat(params, test::Fsstat(PartitionFixture(std::string(disk) + ".raw"), entry.start),
                                    entry.start);
    }
  }
}

// A FAT16 volume in memory holding nothing but a first FAT at sector 4 and the
// first sectors of two folders: sector 1000 for cluster 10 and sector 1016 for
// cluster 12, so 8 sectors per cluster and cluster 0 at sector 920. With 4
// reserved sectors and 32 root folder sectors, the two FATs fill sectors
// 4 .. 903, 450 sectors each.
std::vector<std::uint8_t> SyntheticFat16(bool withFat) {
  std::vector<std::uint8_t> bytes(2048 * 512, 0);
  const auto folder = [&](std::size_t sector, std::uint16_t cluster, std::uint16_t parent) {
    std::uint8_t* at = bytes.data() + sector * 512;
    std::copy_n(".          ", 11, at);
    at[11] = 0x10;
    at[26] = static_cast<std::uint8_t>(cluster);
    at[27] = static_cast<std::uint8_t>(cluster >> 8);
    std::copy_n("..         ", 11, at + 32);
    at[32 + 11] = 0x10;
    at[32 + 26] = static_cast<std::uint8_t>(parent);
    at[32 + 27] = static_cast<std::uint8_t>(parent >> 8);
  };
  folder(1000, 10, 0);
  folder(1016, 12, 10);
  if (withFat) {
    bytes[4 * 512] = 0xF8;
    bytes[4 * 512 + 1] = 0xFF;
  }
  return bytes;
}

TEST(CalculatedParamsTest, SyntheticFat16FromTwoFolders) {
  const PartitionEntry entry{0, 2048, kFat16};
  {
    const MemorySource source(SyntheticFat16(true));
    FsParams params = FsParams::ForPartition(entry);
    ScanControl control;
    ASSERT_TRUE(CalculateFsParams(SectorReader(source), params, control));
    EXPECT_EQ(params.sectorsPerCluster, 8u);
    EXPECT_EQ(params.clusterBase, 920u);
    EXPECT_EQ(params.reservedSectors, 4u);
    EXPECT_EQ(params.fatSize, 450u);
    EXPECT_EQ(params.firstFatLba, 4u);
    EXPECT_EQ(params.secondFatLba, 454u);
    EXPECT_EQ(params.rootStart, 904u);
    EXPECT_EQ(params.rootDirSectors, 32u);
  }
  {
    const MemorySource source(SyntheticFat16(false));
    FsParams params = FsParams::ForPartition(entry);
    ScanControl control;
    ASSERT_TRUE(CalculateFsParams(SectorReader(source), params, control));
    EXPECT_EQ(params.sectorsPerCluster, 8u);
    EXPECT_EQ(params.clusterBase, 920u);
  }
}

TEST(CalculatedParamsTest, GivesUpWithoutTwoFolders) {
  auto bytes = SyntheticFat16(true);
  std::fill_n(bytes.begin() + 1016 * 512, 512, std::uint8_t{0});
  const MemorySource source(std::move(bytes));
  FsParams params = FsParams::ForPartition({0, 2048, kFat16});
  ScanControl control;
  EXPECT_FALSE(CalculateFsParams(SectorReader(source), params, control));
  EXPECT_TRUE(control.StopRequested());

  params = FsParams::ForPartition({0, 2048, kNtfs});  // only FAT volumes can be calculated
  ScanControl ntfsControl;
  EXPECT_FALSE(CalculateFsParams(SectorReader(source), params, ntfsControl));
  EXPECT_TRUE(ntfsControl.StopRequested());
}

}  // namespace
}  // namespace dravik
