// Choosing and opening images through the one VirtualDisk, with the messages
// the front ends show when that fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using test::Fixture;
using test::TempDir;

TEST(VirtualDiskTest, ExtensionChoosesTheReaderWithoutRegardToCase) {
  TempDir dir;
  const auto upper = dir / "DISK.VHD";
  const auto mixed = dir / "Disk.VhdX";
  std::filesystem::copy_file(Fixture("vhd-dynamic.vhd"), upper);
  std::filesystem::copy_file(Fixture("vhdx-dynamic.vhdx"), mixed);
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, upper, true).Usable());
  EXPECT_EQ(disk.CurrentKind(), VirtualDisk::kVhd);
  ASSERT_TRUE(OpenImage(disk, mixed, true).Usable());
  EXPECT_EQ(disk.CurrentKind(), VirtualDisk::kVhdx);
  EXPECT_EQ(ImageKindFromPath("a.b.vhdx"), ImageKind::kVhdx);
  EXPECT_EQ(ImageKindFromPath("image.vhd.bak"), std::nullopt);
  EXPECT_EQ(ImageKindFromPath("vhd"), std::nullopt);
}

TEST(VirtualDiskTest, OpenFailuresGiveTheMessageForTheKindAndMode) {
  TempDir dir;
  const auto fakeVhdx = dir / "fake.vhdx";
  const auto tinyVhd = dir / "tiny.vhd";
  test::WriteFileBytes(fakeVhdx, std::vector<std::uint8_t>(8192, 'x'));
  test::WriteFileBytes(tinyVhd, std::vector<std::uint8_t>(100, 'x'));
  VirtualDisk disk;

  // Nothing of the format in it: not this kind, and the details say so.
  OpenResult result = OpenImage(disk, fakeVhdx, true);
  EXPECT_EQ(result.verdict, Verdict::kNotThis);
  ASSERT_EQ(result.details.size(), 1u);
  EXPECT_NE(result.details[0].find("not a VHDX image"), std::string::npos) << result.details[0];
  EXPECT_EQ(result.message,
            "This VHDX file is either not readable using Quick Scan or highly corrupted. Please select extensive scan "
            "to recover.");
  EXPECT_EQ(OpenImage(disk, fakeVhdx, false).message,
            "This VHDX file is highly corrupted or Invalid file type. Please select other file to recover.");
  EXPECT_EQ(OpenImage(disk, tinyVhd, true).message,
            "This VHD file is either not readable using Quick Scan or highly corrupted. Please select extensive scan to "
            "recover.");
  EXPECT_EQ(OpenImage(disk, tinyVhd, false).message,
            "This VHD file is highly corrupted or Invalid file type. Please select other file to recover.");

  result = OpenImage(disk, dir / "absent.vhd", false);
  EXPECT_EQ(result.verdict, Verdict::kFailed);
  EXPECT_EQ(result.message, (dir / "absent.vhd").string() + " file does not exists.");
  test::WriteFileBytes(dir / "disk.iso", std::vector<std::uint8_t>(512, 0));
  result = OpenImage(disk, dir / "disk.iso", false);
  EXPECT_EQ(result.verdict, Verdict::kNotThis);
  EXPECT_NE(result.message.find("not a VHD or VHDX"), std::string::npos);
  // A disk copied byte for byte opens by its extension; an empty one is no disk.
  std::filesystem::copy_file(dir / "disk.iso", dir / "disk.IMG");
  EXPECT_TRUE(OpenImage(disk, dir / "disk.IMG", false).Usable());
  EXPECT_EQ(disk.Size(), 512u);
  test::WriteFileBytes(dir / "empty.dd", {});
  EXPECT_EQ(OpenImage(disk, dir / "empty.dd", true).message,
            "This file is empty and holds no disk. Please select other file to recover.");
  EXPECT_FALSE(OpenImage(disk, dir.Path(), false).Usable());  // a folder named like nothing
}

// Files that can hold no image are refused before anything is read from
// them, with what they are; a FIFO without a writer must not be waited on.
TEST(VirtualDiskTest, FilesThatHoldNoImageAreRefusedWithWhatTheyAre) {
  TempDir dir;
  const auto fifo = dir / "pipe.vhd";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "folder.vhdx");
  std::filesystem::create_symlink("/dev/zero", dir / "zero.vhd");
  const std::pair<std::filesystem::path, const char*> cases[] = {
      {fifo, "it is a FIFO (named pipe), not an image file"},
      {dir / "folder.vhdx", "it is a folder, not an image file"},
      {dir / "zero.vhd", "it is a character device, not an image file"}};
  for (const auto& [path, why] : cases) {
    VirtualDisk disk;
    const OpenResult result = OpenImage(disk, path, true);
    EXPECT_FALSE(result.Usable()) << path;
    EXPECT_EQ(result.message, path.string() + ": cannot be opened: " + why);
  }
}

TEST(VirtualDiskTest, ReadersOfBothKindsAndTheirQuestions) {
  VirtualDisk disk;
  std::vector<std::uint8_t> sector(512);
  EXPECT_FALSE(disk.ReadAt(0, sector));  // nothing created yet
  EXPECT_EQ(disk.Size(), 0u);

  ASSERT_TRUE(OpenImage(disk, Fixture("vhd-dynamic.vhd"), false).Usable());
  const std::int32_t cylinders = disk.Cylinders();
  const std::int32_t heads = disk.Heads();
  EXPECT_GT(cylinders, 0);
  EXPECT_GT(disk.SectorsPerTrack(), 0);
  EXPECT_EQ(disk.DiskTypeText(), "");
  EXPECT_EQ(disk.VirtualDiskSize(), 0u);
  EXPECT_EQ(disk.DataBlockCount(), 0);

  ASSERT_TRUE(OpenImage(disk, Fixture("vhdx-dynamic.vhdx"), false).Usable());
  EXPECT_EQ(disk.Cylinders(), cylinders);  // the value last fetched from the VHD reader
  EXPECT_EQ(disk.Heads(), heads);
  EXPECT_EQ(disk.SectorsPerTrack(), 0);
  EXPECT_EQ(disk.DiskTypeText(), "Dynamic Disk");
  EXPECT_EQ(disk.VirtualDiskSize(), disk.Size());
  EXPECT_GT(disk.TotalBatEntries(), 0);

  EXPECT_TRUE(disk.IsOpen());
  disk.Close();
  EXPECT_FALSE(disk.IsOpen());
  EXPECT_FALSE(disk.ReadAt(0, sector));
  ASSERT_TRUE(OpenImage(disk, Fixture("vhd-fixed.vhd"), false).Usable());
  EXPECT_TRUE(disk.ReadAt(0, sector));
  disk.Destroy();
  EXPECT_FALSE(disk.IsOpen());
  EXPECT_FALSE(disk.ReadAt(0, sector));
}

TEST(VirtualDiskTest, ImageFilesAreNeverWritten) {
  TempDir dir;
  const auto path = dir / "readonly.vhdx";
  std::filesystem::copy_file(Fixture("vhdx-dynamic.vhdx"), path);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  const auto before = test::ReadFileBytes(path);
  {
    VirtualDisk disk;
    ASSERT_TRUE(OpenImage(disk, path, false).Usable());
    std::vector<std::uint8_t> all(static_cast<std::size_t>(disk.Size()));
    EXPECT_TRUE(disk.ReadAt(0, all));
  }
  EXPECT_EQ(test::ReadFileBytes(path), before);
}

}  // namespace
}  // namespace dravik
