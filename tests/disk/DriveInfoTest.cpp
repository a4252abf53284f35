// The drive and partition panes' lines and the capacity chart's shares.

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "VhdWriter.h"
#include "disk/DriveInfo.h"
#include "disk/DriveTable.h"
#include "session/DriveInformation.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

TEST(PartitionInfoTest, LinesOfTheSelectedPartition) {
  const PartitionEntry entry{63, 204800, kNtfs};
  const auto lines = PartitionInfoLines(&entry);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].label, "Partition type\t\t:");
  EXPECT_EQ(lines[1].label, "Partition Start\t\t:");
  EXPECT_EQ(lines[2].label, "Partition End\t\t:");
  EXPECT_EQ(lines[3].label, "Partition Size\t\t:");
  EXPECT_EQ(lines[0].value, "NTFS");
  EXPECT_EQ(lines[1].value, "63");
  EXPECT_EQ(lines[2].value, "204862");
  EXPECT_EQ(lines[3].value, "100 MB (Approx)");

  const PartitionEntry fat{2048, 4095, kFat16};
  const auto fatLines = PartitionInfoLines(&fat);
  EXPECT_EQ(fatLines[0].value, "FAT16");
  EXPECT_EQ(fatLines[2].value, "6142");
  EXPECT_EQ(fatLines[3].value, "1 MB (Approx)") << "sizes are rounded down";

  const auto none = PartitionInfoLines(nullptr);
  ASSERT_EQ(none.size(), 4u);
  for (const InfoLine& line : none) EXPECT_EQ(line.value, "") << line.label;
  EXPECT_EQ(none[0].label, "Partition type\t\t:");
}

TEST(CapacityShareTest, PartitionsThenWhatIsFree) {
  PartitionTable table;
  table.Add({2048, 300000, kFat32});
  table.Add({302048, 400000, kNtfs});
  const auto slices = CapacityShares(table, 1000000);
  ASSERT_EQ(slices.size(), 3u);
  EXPECT_EQ(slices[0].label, "FAT32");
  EXPECT_EQ(slices[0].percent, 30u);
  EXPECT_EQ(slices[1].label, "NTFS");
  EXPECT_EQ(slices[1].percent, 40u);
  EXPECT_EQ(slices[2].label, "FREE");
  EXPECT_EQ(slices[2].percent, 30u);
  EXPECT_NE(slices[0].color, slices[1].color);
  EXPECT_NE(slices[2].color, slices[0].color);

  // A disk filled by its partitions has no free slice.
  PartitionTable full;
  full.Add({0, 500000, kFat16});
  full.Add({500000, 500000, kNtfs});
  const auto fullSlices = CapacityShares(full, 1000000);
  ASSERT_EQ(fullSlices.size(), 2u);
  EXPECT_EQ(fullSlices[0].percent + fullSlices[1].percent, 100u);

  // Shares are rounded down; what they leave is free.
  PartitionTable thirds;
  for (std::uint32_t i = 0; i < 3; ++i) thirds.Add({i * 333334, 333334, kFat16});
  const auto thirdSlices = CapacityShares(thirds, 1000002);
  ASSERT_EQ(thirdSlices.size(), 4u);
  EXPECT_EQ(thirdSlices[0].percent, 33u);
  EXPECT_EQ(thirdSlices[3].label, "FREE");
  EXPECT_EQ(thirdSlices[3].percent, 1u);

  const auto empty = CapacityShares(PartitionTable{}, 1000000);
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty[0].label, "FREE");
  EXPECT_EQ(empty[0].percent, 100u);
}

TEST(DriveInfoTest, VhdLinesFromTheGeometry) {
  test::TempDir dir;
  const auto path = dir / "geometry.vhd";
  test::WriteFixedVhd(path, std::vector<std::uint8_t>(4096, 0), 16383, 16, 63);
  VirtualDisk disk;
  DriveTable table;
  ASSERT_TRUE(OpenImage(disk, path, false).Usable());
  RegisterImage(table, disk);
  const auto lines = DiskInfoLines(table, 0, disk, ImageKind::kVhd);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].label, "Model\t\t\t:");
  EXPECT_EQ(lines[0].value, "Virtual Hard Disk");
  EXPECT_EQ(lines[1].label, "Capacity\t\t:");
  EXPECT_EQ(lines[1].value, "8063 MB (Approx)");
  EXPECT_EQ(lines[2].label, "Cylinders\t\t:");
  EXPECT_EQ(lines[2].value, "16383");
  EXPECT_EQ(lines[3].label, "Head\t\t\t:");
  EXPECT_EQ(lines[3].value, "16");
  EXPECT_EQ(lines[4].label, "Sectors Per Track\t:");
  EXPECT_EQ(lines[4].value, "63");
}

TEST(DriveInfoTest, VhdxLinesFromTheBlockTable) {
  VirtualDisk disk;
  DriveTable table;
  ASSERT_TRUE(OpenImage(disk, test::Fixture("vhdx-10g.vhdx"), false).Usable());
  RegisterImage(table, disk);
  const auto lines = DiskInfoLines(table, 0, disk, ImageKind::kVhdx);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1].value, "10240 MB ");
  EXPECT_EQ(lines[2].label, "Disk Type\t\t:");
  EXPECT_EQ(lines[2].value, "Dynamic Disk");
  EXPECT_EQ(lines[3].label, "Data Block Count\t:");
  EXPECT_EQ(lines[3].value, std::to_string(disk.DataBlockCount()));
  EXPECT_EQ(lines[4].label, "Total Bat Entries\t:");
  EXPECT_EQ(lines[4].value, std::to_string(disk.TotalBatEntries()));
}

// The rows of the FATs and the MFT come from the volume's family by their
// labels: a row the family names shows its value, the others N/A; a volume
// of no family shows the FAT positions it holds and no MFT.
TEST(DriveInformationTest, EachFamilyFillsItsOwnRows) {
  FsParams p;
  p.clusterBase = 2048;
  p.sectorsPerCluster = 8;
  p.firstFatLba = 2080;
  p.secondFatLba = 2600;
  p.mftStart = 8192;
  const auto rows = [&](std::uint16_t code) {
    p.fsType = code;
    const auto lines = DriveInformationLines(p, {ScanMode::kQuick, 3, 7});
    EXPECT_EQ(lines.size(), 8u);
    std::vector<std::string> values;
    for (const InfoLine& line : lines) values.push_back(line.value);
    return values;
  };
  using Rows = std::vector<std::string>;
  EXPECT_EQ(rows(kFat32), (Rows{"FAT32", "2048", "3", "7", "8", "2080", "2600", "N/A"}));
  EXPECT_EQ(rows(kFat16), (Rows{"FAT16", "2048", "3", "7", "8", "2080", "2600", "N/A"}));
  EXPECT_EQ(rows(kNtfs), (Rows{"NTFS", "2048", "3", "7", "8", "N/A", "N/A", "8192"}));
  EXPECT_EQ(rows(0), (Rows{"", "2048", "3", "7", "8", "2080", "2600", "N/A"}));
  EXPECT_EQ(DriveInformationLines(p, {ScanMode::kFileTrace, 3, 7})[2].value, "0") << "File Trace lists no folders";
}

}  // namespace
}  // namespace dravik
