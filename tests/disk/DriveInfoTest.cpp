// The sizes and positions the drive and partition panes show (and the command line prints). Which rows the Drive
// Information shows for each family: the desktop's DialogsTest and the command's params text.

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "VhdWriter.h"
#include "disk/DriveInfo.h"
#include "disk/DriveTable.h"
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

}  // namespace
}  // namespace dravik
