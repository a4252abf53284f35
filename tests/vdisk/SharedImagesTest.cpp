// Images made elsewhere (dfvfs test data): a dynamic VHD whose header checksum qemu-img rejects, and a differencing VHD
// whose parent is never opened. Sleuth Kit's img_cat (through libvhdi) is the oracle.

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

std::vector<std::uint8_t> ReadWhole(const std::filesystem::path& path, std::uint32_t expectedType) {
  VirtualDisk disk;
  EXPECT_TRUE(OpenImage(disk, path, true).Usable());
  EXPECT_NE(disk.Vhd(), nullptr);
  if (!disk.Vhd()) return {};
  EXPECT_EQ(disk.Vhd()->DiskType(), expectedType);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(disk.Size()));
  EXPECT_TRUE(disk.ReadAt(0, bytes));
  return bytes;
}

std::vector<std::uint8_t> ImgCat(const std::filesystem::path& path) {
  const auto result = test::RunShell("img_cat -i vhd " + test::Quote(path));
  EXPECT_EQ(result.status, 0) << "img_cat could not read " << path;
  return {result.out.begin(), result.out.end()};
}

TEST(SharedImagesTest, DynamicVhdMatchesSleuthKit) {
  const auto parent = test::SharedTestData("vhd-differencing/image.vhd");
  const auto bytes = ReadWhole(parent, vhd::kDynamic);
  EXPECT_EQ(bytes.size(), 104448u);
  EXPECT_EQ(bytes, ImgCat(parent));
}

// The child's one block holds every sector of the disk (mounting child and parent together with vhdimount shows the
// parent's bytes), so read alone it must still give the parent's bytes.
TEST(SharedImagesTest, DifferencingVhdReadsItsOwnBlock) {
  const auto child = ReadWhole(test::SharedTestData("vhd-differencing/image-differential.vhd"), vhd::kDifferencing);
  EXPECT_EQ(child, ImgCat(test::SharedTestData("vhd-differencing/image.vhd")));
}

}  // namespace
}  // namespace dravik
