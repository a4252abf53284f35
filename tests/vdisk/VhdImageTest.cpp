// VHD layouts that qemu-img does not make, written by the test writer and read
// back through qemu-img as the oracle; and damaged images that must open or
// fail cleanly.

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "VhdWriter.h"
#include "vdisk/VhdImage.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using test::TempDir;

std::vector<std::uint8_t> QemuRaw(const std::filesystem::path& image, const TempDir& dir) {
  const auto raw = dir / "oracle.raw";
  const auto result = test::RunShell("qemu-img convert -f vpc -O raw " + test::Quote(image) + " " + test::Quote(raw));
  EXPECT_EQ(result.status, 0) << "qemu-img could not read " << image;
  return test::ReadFileBytes(raw);
}

std::vector<std::uint8_t> ReadAll(const ByteSource& source, std::size_t step) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(source.Size()));
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const std::size_t length = std::min(step, bytes.size() - at);
    EXPECT_TRUE(source.ReadAt(at, std::span(bytes).subspan(at, length))) << "read at " << at;
  }
  return bytes;
}

VhdImage OpenVhd(const std::filesystem::path& path) {
  VhdImage image;
  EXPECT_TRUE(image.Open(path)) << image.Diagnostic();
  return image;
}

// Layouts: each is written, read whole through VhdImage in odd-sized steps and
// compared with qemu-img's reading of the same file.
struct LayoutCase {
  const char* name;
  test::VhdLayout layout;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class VhdLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(VhdLayoutTest, MatchesQemu) {
  TempDir dir;
  const auto path = dir / "image.vhd";
  test::WriteDynamicVhd(path, GetParam().layout);
  const auto want = QemuRaw(path, dir);
  VhdImage image = OpenVhd(path);
  ASSERT_EQ(image.Size(), want.size());
  EXPECT_EQ(ReadAll(image, 100003), want);
  EXPECT_EQ(ReadAll(image, 512), want);
}

test::VhdLayout FourMiBBlocks() {
  test::VhdLayout l;
  l.blockSize = 4 << 20;  // two bitmap sectors in front of each block
  l.virtualSize = 16 << 20;
  l.blocks = {{0, 4}, {1, 4 + 8200}, {3, 4 + 2 * 8200}};
  return l;
}

test::VhdLayout TablesAtOtherOffsets() {
  test::VhdLayout l;
  l.headerOffset = 4096;
  l.batOffset = 8192;
  l.blocks = {{2, 32}, {0, 32 + 4200}};
  return l;
}

test::VhdLayout BlockBeyondFourGiB() {
  test::VhdLayout l;
  l.virtualSize = 6 << 20;
  l.blocks = {{0, 8}, {2, (5ULL << 30) / 512}};
  return l;
}

test::VhdLayout SmallBlocks() {
  test::VhdLayout l;
  l.blockSize = 512 * 1024;
  l.virtualSize = 3 << 20;
  l.blocks = {{1, 8}, {2, 8 + 1030}, {5, 8 + 2 * 1030}};
  return l;
}

INSTANTIATE_TEST_SUITE_P(Written, VhdLayoutTest,
                         ::testing::Values(LayoutCase{"FourMiBBlocks", FourMiBBlocks()},
                                           LayoutCase{"TablesAtOtherOffsets", TablesAtOtherOffsets()},
                                           LayoutCase{"BlockBeyondFourGiB", BlockBeyondFourGiB()},
                                           LayoutCase{"SmallBlocks", SmallBlocks()}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(VhdImageTest, DifferencingTypeReadsItsOwnBlocksLikeDynamic) {
  TempDir dir;
  test::VhdLayout layout = TablesAtOtherOffsets();
  test::WriteDynamicVhd(dir / "dynamic.vhd", layout);
  layout.storedDiskType = 4;
  test::WriteDynamicVhd(dir / "child.vhd", layout);
  VhdImage child = OpenVhd(dir / "child.vhd");
  EXPECT_EQ(child.DiskType(), vhd::kDifferencing);
  EXPECT_EQ(ReadAll(child, 65536), QemuRaw(dir / "dynamic.vhd", dir));
}

TEST(VhdImageTest, DiskTypeCodes) {
  TempDir dir;
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {{0, 1}, {2, 2}, {3, 3}, {4, 4}, {101, 101}, {7, 5}};
  for (const auto& [stored, code] : cases) {
    test::VhdLayout layout;
    layout.storedDiskType = stored;
    test::WriteDynamicVhd(dir / "typed.vhd", layout);
    EXPECT_EQ(OpenVhd(dir / "typed.vhd").DiskType(), code) << "stored type " << stored;
  }
}

TEST(VhdImageTest, UnknownTypeReadsTheFileAsItLies) {
  TempDir dir;
  test::VhdLayout layout;
  layout.storedDiskType = 77;
  test::WriteDynamicVhd(dir / "flat.vhd", layout);
  VhdImage image = OpenVhd(dir / "flat.vhd");
  const auto file = test::ReadFileBytes(dir / "flat.vhd");
  ASSERT_GT(file.size(), 1600u);
  std::vector<std::uint8_t> got(600);
  ASSERT_TRUE(image.ReadAt(1000, got));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), file.begin() + 1000));
}

// Damaged images made from qemu's dynamic VHD by byte edits.
class DamagedVhdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "damaged.vhd";
    std::filesystem::copy_file(test::Fixture("vhd-dynamic.vhd"), path_);
    oracle_ = test::ReadFileBytes(test::Fixture("vhd-dynamic.vhd").string() + ".raw");
  }
  void Patch(std::uint64_t offset, std::vector<std::uint8_t> bytes) { test::PatchFile(path_, offset, bytes); }
  std::uint64_t FileSize() const { return std::filesystem::file_size(path_); }

  TempDir dir_;
  std::filesystem::path path_;
  std::vector<std::uint8_t> oracle_;
};

TEST_F(DamagedVhdTest, MissingFooterFallsBackToTheCopyAtTheStart) {
  std::filesystem::resize_file(path_, FileSize() - 512);
  VhdImage image = OpenVhd(path_);
  EXPECT_EQ(image.DiskType(), vhd::kDynamic);
  EXPECT_EQ(ReadAll(image, 1 << 20), oracle_);
}

TEST_F(DamagedVhdTest, TruncatedInsideABlockReadsWhatIsThereAndFailsBeyond) {
  VhdImage whole = OpenVhd(path_);
  std::filesystem::resize_file(path_, FileSize() - 512 - 1024 * 1024);
  VhdImage image = OpenVhd(path_);
  std::vector<std::uint8_t> first(1 << 20);
  ASSERT_TRUE(image.ReadAt(0, first));
  EXPECT_TRUE(std::equal(first.begin(), first.end(), oracle_.begin()));
  // The last allocated block now ends inside the cut: reading all of it fails.
  bool anyFailed = false;
  std::vector<std::uint8_t> block(whole.BlockSize());
  for (std::uint64_t at = 0; at < image.Size(); at += block.size()) anyFailed |= !image.ReadAt(at, block);
  EXPECT_TRUE(anyFailed);
}

// A count whose table cannot fit in the file is cut to what the footer's
// disk size needs (nothing of the claimed size is allocated); without a
// footer to say so the image is refused.
TEST_F(DamagedVhdTest, AbsurdTableCountIsCutToTheDiskOrRefused) {
  Patch(512 + 28, {0xFF, 0xFF, 0xFF, 0xF0});
  VhdImage image = OpenVhd(path_);
  ASSERT_EQ(image.Repairs().size(), 1u);
  EXPECT_EQ(image.Repairs()[0].structure, "dynamic header: entry count");
  EXPECT_EQ(ReadAll(image, 1 << 20), oracle_);

  std::filesystem::resize_file(path_, FileSize() - 512);
  Patch(0, std::vector<std::uint8_t>(512, 0));
  VhdImage footerless;
  EXPECT_FALSE(footerless.Open(path_));
  EXPECT_NE(footerless.Diagnostic().find("does not fit"), std::string::npos) << footerless.Diagnostic();
}

TEST_F(DamagedVhdTest, ZeroTableEntriesOpensAndEveryReadFails) {
  Patch(512 + 28, {0, 0, 0, 0});
  VhdImage image = OpenVhd(path_);
  std::vector<std::uint8_t> sector(512, 0xCD);
  EXPECT_FALSE(image.ReadAt(0, sector));
  EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(DamagedVhdTest, BlockSizeZeroIsTakenFromTheSpacingOfTheBlocks) {
  Patch(512 + 32, {0, 0, 0, 0});
  VhdImage image = OpenVhd(path_);
  EXPECT_EQ(image.BlockSize(), 2u << 20);
  EXPECT_EQ(ReadAll(image, 1 << 20), oracle_);
}

TEST_F(DamagedVhdTest, DamagedHeaderCookieStillUsesTheUsualPlaces) {
  Patch(512, std::vector<std::uint8_t>(8, 'X'));
  VhdImage image = OpenVhd(path_);
  EXPECT_EQ(image.BatOffset(), 1536u);
  EXPECT_EQ(ReadAll(image, 1 << 20), oracle_);
}

TEST_F(DamagedVhdTest, DataOffsetPastTheEndFallsBackTo512) {
  const std::uint64_t footer = FileSize() - 512;
  Patch(footer + 16, {0x7F, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(ReadAll(OpenVhd(path_), 1 << 20), oracle_);
}

TEST(VhdImageTest, FilesTooSmallForAFooterDoNotOpen) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{511}}) {
    VhdImage image;
    EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(std::vector<std::uint8_t>(size, 0x41)))) << size;
  }
}

// A file with no footer anywhere opens only when it begins like a disk (a
// boot signature in its first sector), and is then read as a raw disk.
TEST(VhdImageTest, FilesWithoutFooterOpenOnlyAsRawDisks) {
  std::vector<std::uint8_t> junk(4096);
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 7);
  VhdImage image;
  EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(junk)));
  EXPECT_TRUE(image.NoStructureFound());
  EXPECT_NE(image.Diagnostic().find("no VHD structure was found"), std::string::npos) << image.Diagnostic();

  junk[510] = 0x55;
  junk[511] = 0xAA;
  ASSERT_TRUE(image.Open(std::make_unique<MemorySource>(junk)));
  EXPECT_FALSE(image.NoStructureFound());
  EXPECT_EQ(image.Size(), junk.size());
  EXPECT_EQ(image.Repairs(), (std::vector<Repair>{{"footer", "missing at the end and at offset 0", "the file read as a raw disk"}}));
  std::vector<std::uint8_t> got(1096);
  ASSERT_TRUE(image.ReadAt(3000, got));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), junk.begin() + 3000));
}

}  // namespace
}  // namespace dravik
