// Dirty VHDX logs replayed in memory. qemu-img makes the image, the test
// writer adds a log of entries from the format's description, and two
// oracles judge the read: the virtual disk the entries describe (qemu-img's
// raw conversion of the clean image with the writes laid over it), and
// qemu's own replay of a copy (qemu-io opens it for writing, which replays
// the log, and qemu-img converts the result).

#include <gtest/gtest.h>

#include "ChainWriter.h"
#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::LogDescriptorPlan;
using test::LogEntryPlan;
using test::Quote;
using test::RunShell;

constexpr std::uint64_t kMiB = 1024 * 1024;

void Shell(const std::string& command) {
  const auto result = RunShell(command + " 2>&1");
  ASSERT_EQ(result.status, 0) << command << ": " << result.out;
}

std::vector<std::uint8_t> QemuRaw(const fs::path& image) {
  const fs::path raw = image.string() + ".raw";
  Shell("qemu-img convert -f vhdx -O raw " + Quote(image) + " " + Quote(raw));
  auto bytes = test::ReadFileBytes(raw);
  fs::remove(raw);
  return bytes;
}

// qemu replays the log of a copy that it opens for writing.
std::vector<std::uint8_t> QemuReplayed(const fs::path& image) {
  const fs::path copy = image.string() + ".qemu.vhdx";
  fs::copy_file(image, copy);
  Shell("qemu-io -f vhdx -c 'read 0 512' " + Quote(copy) + " >/dev/null");
  auto bytes = QemuRaw(copy);
  fs::remove(copy);
  return bytes;
}

// A 4 KiB sector whose every byte differs from its neighbours' and from
// every other sector's, so a misplaced or shifted copy cannot pass.
std::vector<std::uint8_t> Sector(std::uint8_t seed) {
  std::vector<std::uint8_t> s(4096);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return s;
}

void Lay(std::vector<std::uint8_t>& disk, std::uint64_t at, const std::vector<std::uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<std::uint8_t> ReadAll(const VirtualDisk& disk) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(disk.Size()));
  EXPECT_TRUE(disk.ReadAt(0, bytes));
  return bytes;
}

void ExpectSameBytes(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  EXPECT_TRUE(diff.first == got.end()) << what << ": first difference at byte " << (diff.first - got.begin());
}

struct DirtyImage {
  test::TempDir dir;
  fs::path path = dir / "dirty.vhdx";
  std::vector<std::uint8_t> clean;
  std::uint64_t block0 = 0, block4 = 0;

  DirtyImage() {
    Shell("qemu-img create -q -f vhdx -o block_size=1M " + Quote(path) + " 8M");
    Shell("qemu-io -f vhdx -c 'write -P 0x11 0 2M' -c 'write -P 0x22 4M 1M' " + Quote(path) + " >/dev/null");
    clean = QemuRaw(path);
    block0 = test::VhdxBlockFileOffset(path, 0);
    block4 = test::VhdxBlockFileOffset(path, 4);
  }
};

TEST(VhdxLogTest, DataAndZeroDescriptorsOfSeveralEntriesAreReplayedAndATornEntryIgnored) {
  DirtyImage image;
  ASSERT_NE(image.block0, 0u);
  ASSERT_NE(image.block4, 0u);
  LogEntryPlan first{{LogDescriptorPlan{image.block0, Sector(0xA0), 0}, LogDescriptorPlan{image.block0 + 8192, Sector(0xA2), 0}}};
  LogEntryPlan second{{LogDescriptorPlan{image.block4 + 4096, {}, 8192}, LogDescriptorPlan{image.block0 + 4096, Sector(0xB1), 0},
                       LogDescriptorPlan{image.block0, Sector(0xB0), 0}}};
  LogEntryPlan torn{{LogDescriptorPlan{image.block0 + 12288, Sector(0xCC), 0}}, true};
  test::WriteVhdxLog(image.path, {first, second, torn});
  const auto fileBefore = test::ReadFileBytes(image.path);

  std::vector<std::uint8_t> want = image.clean;
  Lay(want, 0, Sector(0xB0));  // the later entry wins
  Lay(want, 4096, Sector(0xB1));
  Lay(want, 8192, Sector(0xA2));
  std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(4 * kMiB + 4096), 8192, std::uint8_t{0});

  VirtualDisk disk;
  const OpenResult opened = OpenImage(disk, image.path, false);
  ASSERT_TRUE(opened.Usable()) << opened.message;
  ASSERT_NE(disk.Vhdx(), nullptr);
  EXPECT_TRUE(disk.Vhdx()->LogReplayed());
  EXPECT_EQ(disk.Vhdx()->LogEntriesReplayed(), 2u);
  EXPECT_TRUE(disk.Chain().warnings.empty());
  const auto got = ReadAll(disk);
  ExpectSameBytes(got, want, "the entries' writes");
  ExpectSameBytes(got, QemuReplayed(image.path), "qemu's replay");
  EXPECT_EQ(test::ReadFileBytes(image.path), fileBefore) << "the image file was changed";

  const auto info = RunShell(Quote(test::CliPath()) + " info --quiet " + Quote(image.path) + " 2>&1");
  EXPECT_NE(info.out.find("Log\t\t\t: replayed in memory"), std::string::npos) << info.out;
}

// The log can move structures, not just data: here it maps an absent block
// in the BAT to a new block at the end of the file and writes its first
// sector. (The file is grown first: qemu does not grow it to the entry's
// last file offset when it replays.)
TEST(VhdxLogTest, ReplayedBlockTableMapsANewBlock) {
  DirtyImage image;
  const std::uint64_t batOffset = test::VhdxBatOffset(image.path);
  const std::uint64_t fileSize = fs::file_size(image.path);
  const std::uint64_t newBlock = (fileSize + kMiB - 1) / kMiB * kMiB;
  fs::resize_file(image.path, newBlock + kMiB);
  auto batSector = test::ReadFileBytes(image.path);
  batSector.erase(batSector.begin(), batSector.begin() + static_cast<std::ptrdiff_t>(batOffset));
  batSector.resize(4096);
  const std::uint64_t entry = newBlock | 6;  // block 2, fully present
  for (int i = 0; i < 8; ++i) batSector[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(entry >> (8 * i));
  test::WriteVhdxLog(image.path, {LogEntryPlan{{LogDescriptorPlan{batOffset, batSector, 0},
                                                LogDescriptorPlan{newBlock, Sector(0x5A), 0}}}},
                     newBlock + kMiB);

  std::vector<std::uint8_t> want = image.clean;
  std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(2 * kMiB), kMiB, std::uint8_t{0});
  Lay(want, 2 * kMiB, Sector(0x5A));
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, image.path, false).Usable());
  const auto got = ReadAll(disk);
  ExpectSameBytes(got, want, "the entries' writes");
  ExpectSameBytes(got, QemuReplayed(image.path), "qemu's replay");
}

// A log that names no complete entry is reported, and the image reads as it lies.
TEST(VhdxLogTest, UnreplayableLogWarnsAndReadsTheFileAsItLies) {
  DirtyImage image;
  test::WriteVhdxLog(image.path, {LogEntryPlan{{LogDescriptorPlan{image.block0, Sector(0x77), 0}}, true}});
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, image.path, false).Usable());
  EXPECT_FALSE(disk.Vhdx()->LogReplayed());
  ASSERT_EQ(disk.Chain().warnings.size(), 1u);
  EXPECT_NE(disk.Chain().warnings.front().find("log was not replayed"), std::string::npos);
  ExpectSameBytes(ReadAll(disk), image.clean, "the clean image");
}

}  // namespace
}  // namespace dravik
