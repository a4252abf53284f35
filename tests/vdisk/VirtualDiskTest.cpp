// Choosing and opening images through the one VirtualDisk, with the messages
// the front ends show when that fails.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Fixture;
using test::TempDir;

TEST(VirtualDiskTest, ExtensionChoosesTheReaderWithoutRegardToCase) {
  TempDir dir;
  fs::copy_file(Fixture("vhd-dynamic.vhd"), dir / "DISK.VHD");
  fs::copy_file(Fixture("vhdx-dynamic.vhdx"), dir / "Disk.VhdX");
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, dir / "DISK.VHD", true).Usable());
  EXPECT_EQ(disk.CurrentKind(), VirtualDisk::kVhd);
  ASSERT_TRUE(OpenImage(disk, dir / "Disk.VhdX", true).Usable());
  EXPECT_EQ(disk.CurrentKind(), VirtualDisk::kVhdx);
  EXPECT_EQ(ImageKindFromPath("a.b.vhdx"), ImageKind::kVhdx);
  EXPECT_EQ(ImageKindFromPath("image.vhd.bak"), std::nullopt);
  EXPECT_EQ(ImageKindFromPath("vhd"), std::nullopt);
}

// The message depends on the kind the extension names and on whether the
// open is for a Quick Scan; files that can hold no image are refused before
// anything is read from them (a FIFO without a writer must not be waited on).
TEST(VirtualDiskTest, OpenFailuresGiveTheMessageForTheKindAndMode) {
  TempDir dir;
  const std::string quickVhdx =
      "This VHDX file is either not readable using Quick Scan or highly corrupted. Please select extensive scan to recover.";
  const struct {
    const char* name;
    std::function<fs::path(const TempDir&)> make;
    bool quick;
    Verdict verdict;      // checked when kNotThis: nothing of the format in the file
    std::string message;  // a path in front: its place
  } rows[] = {
      {"8 KiB of x as VHDX, Quick Scan", [](const TempDir& d) { return d / "fake.vhdx"; }, true, Verdict::kNotThis, quickVhdx},
      {"8 KiB of x as VHDX", [](const TempDir& d) { return d / "fake.vhdx"; }, false, Verdict::kNotThis,
       "This VHDX file is highly corrupted or Invalid file type. Please select other file to recover."},
      {"100 bytes as VHD, Quick Scan", [](const TempDir& d) { return d / "tiny.vhd"; }, true, Verdict::kFailed,
       "This VHD file is either not readable using Quick Scan or highly corrupted. Please select extensive scan to recover."},
      {"100 bytes as VHD", [](const TempDir& d) { return d / "tiny.vhd"; }, false, Verdict::kFailed,
       "This VHD file is highly corrupted or Invalid file type. Please select other file to recover."},
      {"missing", [](const TempDir& d) { return d / "absent.vhd"; }, false, Verdict::kFailed, "absent.vhd file does not exists."},
      {"an extension of no disk", [](const TempDir& d) { return d / "disk.iso"; }, false, Verdict::kNotThis,
       "not a VHD or VHDX"},
      {"empty raw disk", [](const TempDir& d) { return d / "empty.dd"; }, true, Verdict::kFailed,
       "This file is empty and holds no disk. Please select other file to recover."},
      {"FIFO", [](const TempDir& d) { return d / "pipe.vhd"; }, true, Verdict::kFailed,
       "pipe.vhd: cannot be opened: it is a FIFO (named pipe), not an image file"},
      {"folder", [](const TempDir& d) { return d / "folder.vhdx"; }, true, Verdict::kFailed,
       "folder.vhdx: cannot be opened: it is a folder, not an image file"},
      {"character device", [](const TempDir& d) { return d / "zero.vhd"; }, true, Verdict::kFailed,
       "zero.vhd: cannot be opened: it is a character device, not an image file"},
  };
  test::WriteFileBytes(dir / "fake.vhdx", std::vector<std::uint8_t>(8192, 'x'));
  test::WriteFileBytes(dir / "tiny.vhd", std::vector<std::uint8_t>(100, 'x'));
  test::WriteFileBytes(dir / "disk.iso", std::vector<std::uint8_t>(512, 0));
  test::WriteFileBytes(dir / "empty.dd", {});
  ASSERT_EQ(::mkfifo((dir / "pipe.vhd").c_str(), 0600), 0);
  fs::create_directory(dir / "folder.vhdx");
  fs::create_symlink("/dev/zero", dir / "zero.vhd");
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    VirtualDisk disk;
    const OpenResult result = OpenImage(disk, row.make(dir), row.quick);
    EXPECT_FALSE(result.Usable());
    if (row.verdict == Verdict::kNotThis) {
      EXPECT_EQ(result.verdict, Verdict::kNotThis);
    }
    EXPECT_NE(result.message.find(row.message), std::string::npos) << result.message;
  }
  VirtualDisk disk;
  const OpenResult fake = OpenImage(disk, dir / "fake.vhdx", true);
  ASSERT_EQ(fake.details.size(), 1u);
  EXPECT_NE(fake.details[0].find("not a VHDX image"), std::string::npos) << fake.details[0];
  EXPECT_FALSE(OpenImage(disk, dir.Path(), false).Usable()) << "a folder named like nothing";
  // A disk copied byte for byte opens by its extension.
  fs::copy_file(dir / "disk.iso", dir / "disk.IMG");
  EXPECT_TRUE(OpenImage(disk, dir / "disk.IMG", false).Usable());
  EXPECT_EQ(disk.Size(), 512u);
}

TEST(VirtualDiskTest, ReadersOfBothKindsAndTheirQuestions) {
  VirtualDisk disk;
  std::vector<std::uint8_t> sector(512);
  EXPECT_FALSE(disk.ReadAt(0, sector));  // nothing opened yet
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
  fs::copy_file(Fixture("vhdx-dynamic.vhdx"), path);
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read);
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
