// The values of the drive and partition panes and the capacity chart's shares.

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "VhdWriter.h"
#include "disk/DriveInfo.h"
#include "disk/DriveTable.h"
#include "session/DriveInformation.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using Values = std::vector<std::string>;

Values ValuesOf(const std::vector<InfoLine>& lines) {
  Values values;
  for (const InfoLine& line : lines) values.push_back(line.value);
  return values;
}

TEST(PartitionInfoTest, ValuesOfTheSelectedPartition) {
  const PartitionEntry ntfs{63, 204800, kNtfs}, fat{2048, 4095, kFat16}, empty{0, 0, 0};
  EXPECT_EQ(ValuesOf(PartitionInfoLines(&ntfs)), (Values{"NTFS", "63", "204862", "100 MB (Approx)"}));
  EXPECT_EQ(ValuesOf(PartitionInfoLines(&fat)), (Values{"FAT16", "2048", "6142", "1 MB (Approx)"})) << "rounded down";
  EXPECT_EQ(ValuesOf(PartitionInfoLines(&empty))[2], "1") << "the end of an empty entry at 0, without its sign";
  EXPECT_EQ(ValuesOf(PartitionInfoLines(nullptr)), Values(4, ""));
}

// Shares are rounded down and what they leave is free.
TEST(CapacityShareTest, PartitionsThenWhatIsFree) {
  const struct {
    const char* name;
    std::vector<PartitionEntry> entries;
    std::uint64_t sectors;
    Values slices;
  } rows[] = {
      {"two", {{2048, 300000, kFat32}, {302048, 400000, kNtfs}}, 1000000, {"FAT32 30", "NTFS 40", "FREE 30"}},
      {"full", {{0, 500000, kFat16}, {500000, 500000, kNtfs}}, 1000000, {"FAT16 50", "NTFS 50"}},
      {"thirds", {{0, 333334, kFat16}, {333334, 333334, kFat16}, {666668, 333334, kFat16}}, 1000002,
       {"FAT16 33", "FAT16 33", "FAT16 33", "FREE 1"}},
      {"none", {}, 1000000, {"FREE 100"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    PartitionTable table;
    for (const PartitionEntry& entry : row.entries) table.Add(entry);
    const auto slices = CapacityShares(table, row.sectors);
    Values got;  // each slice as "NAME PERCENT"
    for (const CapacitySlice& slice : slices) got.push_back(slice.label + " " + std::to_string(slice.percent));
    EXPECT_EQ(got, row.slices);
    EXPECT_TRUE(slices.size() != 3 || (slices[0].color != slices[1].color && slices[2].color != slices[0].color));
  }
}

// The VHDX values are CliInfoTest's.
TEST(DriveInfoTest, VhdValuesFromTheGeometry) {
  test::TempDir dir;
  test::WriteFixedVhd(dir / "geometry.vhd", std::vector<std::uint8_t>(4096, 0), 16383, 16, 63);
  VirtualDisk disk;
  DriveTable table;
  ASSERT_TRUE(OpenImage(disk, dir / "geometry.vhd", false).Usable());
  RegisterImage(table, disk);
  const Values values = ValuesOf(DiskInfoLines(table, 0, disk, ImageKind::kVhd));
  EXPECT_EQ(Values(values.begin() + 1, values.end()), (Values{"8063 MB (Approx)", "16383", "16", "63"}));
}

// A row the volume's family names shows its value, the others N/A, and its own rows follow; a volume of no family
// shows the FAT positions it holds and no MFT.
TEST(DriveInformationTest, EachFamilyFillsItsOwnRows) {
  FsParams p;
  p.clusterBase = 2048, p.sectorsPerCluster = 8, p.firstFatLba = 2080, p.secondFatLba = 2600, p.mftStart = 8192;
  const std::pair<std::uint16_t, Values> rows[] = {
      {kFat32, {"FAT32", "2048", "3", "7", "8", "2080", "2600", "N/A"}},
      {kFat16, {"FAT16", "2048", "3", "7", "8", "2080", "2600", "N/A"}},
      {kNtfs, {"NTFS", "2048", "3", "7", "8", "N/A", "N/A", "8192"}},
      {kExt4, {"EXT4", "2048", "3", "7", "8", "N/A", "N/A", "N/A", "4096"}},
      {0, {"", "2048", "3", "7", "8", "2080", "2600", "N/A"}},
  };
  for (const auto& [code, values] : rows) {
    p.fsType = code;
    EXPECT_EQ(ValuesOf(DriveInformationLines(p, {ScanMode::kQuick, 3, 7})), values) << code;
  }
  EXPECT_EQ(DriveInformationLines(p, {ScanMode::kFileTrace, 3, 7})[2].value, "0") << "File Trace lists no folders";
}

}  // namespace
}  // namespace dravik
