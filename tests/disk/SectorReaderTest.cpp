// Sector reads over the opened image. (The drive table an image fills:
// tests/disk/DriveInfoTest.cpp and the geometry rows of PartitionSearchTest.)

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

TEST(SectorReaderTest, ReadsSectorsOfTheImage) {
  VirtualDisk disk;
  const auto image = test::Fixture("vhd-fixed.vhd");
  ASSERT_TRUE(OpenImage(disk, image, false).Usable());
  const auto file = test::ReadFileBytes(image);
  const SectorReader reader(disk);

  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(reader.Read(0, 1, buffer));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, file.begin()));
  ASSERT_TRUE(reader.Read(1000, 3, buffer));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), file.begin() + 1000 * 512));
  EXPECT_TRUE(reader.Read(5, 0, buffer));  // an empty read
  EXPECT_FALSE(reader.Read(0, 4, buffer)) << "a buffer too small for the sectors is refused";
}

TEST(SectorReaderTest, FailedReadLeavesZerosNotTheLastSectorRead) {
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, test::Fixture("vhdx-dynamic.vhdx"), false).Usable());
  const SectorReader reader(disk);
  std::vector<std::uint8_t> buffer(2 * 512);
  ASSERT_TRUE(reader.Read(0, 2, buffer));
  const std::uint64_t last = reader.SectorCount() - 1;
  ASSERT_TRUE(reader.Read(last, 1, buffer));
  EXPECT_FALSE(reader.Read(last + 100000, 2, buffer));
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(reader.Read(~std::uint64_t{0} / 256, 1, buffer));  // sector number whose byte offset overflows
}

}  // namespace
}  // namespace dravik
