// VHDX images from qemu-img with one thing broken or changed by a byte edit:
// each must open or fail as a damaged image should, and read what is left.

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "util/Bytes.h"
#include "vdisk/VhdxImage.h"

namespace dravik {
namespace {

using test::TempDir;
using vhdx::KnownItem;

std::vector<std::uint8_t> Le(std::uint64_t value, int width) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return bytes;
}

class EditedVhdxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "edited.vhdx";
    std::filesystem::copy_file(test::Fixture("vhdx-dynamic-1m.vhdx"), path_);
    oracle_ = test::ReadFileBytes(test::Fixture("vhdx-dynamic-1m.vhdx").string() + ".raw");
    VhdxImage original;
    ASSERT_TRUE(original.Open(path_));
    regions_ = original.Regions();
    metadata_ = original.Metadata();
  }

  void Patch(std::uint64_t offset, const std::vector<std::uint8_t>& bytes) { test::PatchFile(path_, offset, bytes); }

  std::uint64_t RegionOffset(KnownItem item) const {
    for (const auto& r : regions_)
      if (r.item == item) return r.fileOffset;
    ADD_FAILURE() << "region not found";
    return 0;
  }

  // File offset of a metadata item's value.
  std::uint64_t ItemOffset(KnownItem item) const {
    for (const auto& m : metadata_)
      if (m.item == item) return RegionOffset(KnownItem::kMetadata) + m.offset;
    ADD_FAILURE() << "metadata item not found";
    return 0;
  }

  // Rewrites the region table as the given raw 32-byte entries.
  void WriteRegionTable(const std::vector<std::vector<std::uint8_t>>& entries) {
    auto table = Le(0x69676572, 4);  // "regi"
    table.resize(8);
    const auto count = Le(entries.size(), 4);
    table.insert(table.end(), count.begin(), count.end());
    table.resize(16);
    for (const auto& e : entries) table.insert(table.end(), e.begin(), e.end());
    Patch(vhdx::kRegionTableOffset, table);
  }

  std::vector<std::uint8_t> OriginalRegionEntry(std::size_t i) {
    const auto file = test::ReadFileBytes(test::Fixture("vhdx-dynamic-1m.vhdx"));
    const auto at = vhdx::kRegionTableOffset + 16 + 32 * i;
    return {file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + 32)};
  }

  static std::vector<std::uint8_t> UnknownRegion(bool required) {
    std::vector<std::uint8_t> entry(32, 0);
    for (std::size_t i = 0; i < 16; ++i) entry[i] = static_cast<std::uint8_t>(0x10 + i);
    const auto offset = Le(4 << 20, 8);
    std::copy(offset.begin(), offset.end(), entry.begin() + 16);
    entry[24] = 0x10;  // 1 MiB long
    entry[28] = required ? 1 : 0;
    return entry;
  }

  std::vector<std::uint8_t> ReadAll(const VhdxImage& image) {
    std::vector<std::uint8_t> bytes(oracle_.size());
    EXPECT_TRUE(image.ReadAt(0, bytes));
    return bytes;
  }

  static bool ReadsFail(const VhdxImage& image) {
    std::vector<std::uint8_t> sector(512, 0xCD);
    return !image.ReadAt(0, sector) && std::all_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b == 0; });
  }

  VhdxImage Reopen() {
    VhdxImage image;
    EXPECT_TRUE(image.Open(path_)) << image.Diagnostic();
    return image;
  }

  TempDir dir_;
  std::filesystem::path path_;
  std::vector<std::uint8_t> oracle_;
  std::vector<VhdxImage::Region> regions_;
  std::vector<VhdxImage::MetadataItem> metadata_;
};

TEST_F(EditedVhdxTest, QemuImageHasTheExpectedStructure) {
  VhdxImage image = Reopen();
  EXPECT_EQ(image.DiskTypeText(), "Dynamic Disk");
  EXPECT_EQ(image.BlockSize(), 1u << 20);
  EXPECT_EQ(image.ChunkRatio(), 4096.0);
  EXPECT_EQ(image.DataBlockCount(), 42);  // 41 MiB and 1.5 KiB
  EXPECT_EQ(image.TotalBatEntries(), 42);
  EXPECT_EQ(ReadAll(image), oracle_);
}

TEST_F(EditedVhdxTest, UnknownOptionalRegionBeforeTheBatIsSkipped) {
  WriteRegionTable({UnknownRegion(false), OriginalRegionEntry(0), OriginalRegionEntry(1)});
  EXPECT_EQ(ReadAll(Reopen()), oracle_);
}

TEST_F(EditedVhdxTest, UnknownRequiredRegionEndsTheTable) {
  WriteRegionTable({UnknownRegion(true), OriginalRegionEntry(0), OriginalRegionEntry(1)});
  VhdxImage image = Reopen();
  EXPECT_TRUE(image.Regions().empty());
  EXPECT_TRUE(ReadsFail(image));
}

TEST_F(EditedVhdxTest, RepeatedRegionEndsTheTable) {
  WriteRegionTable({OriginalRegionEntry(0), OriginalRegionEntry(0), OriginalRegionEntry(1)});
  EXPECT_EQ(Reopen().Regions().size(), 1u);
}

TEST_F(EditedVhdxTest, AbsurdRegionCountTakesNoEntries) {
  Patch(vhdx::kRegionTableOffset + 8, Le(5000, 4));
  VhdxImage image = Reopen();
  EXPECT_TRUE(image.Regions().empty());
  EXPECT_TRUE(ReadsFail(image));
}

TEST_F(EditedVhdxTest, RegionsPastTheEndOfTheFileLeaveNoBlocks) {
  for (std::size_t i = 0; i < 2; ++i) Patch(vhdx::kRegionTableOffset + 16 + 32 * i + 16, Le(1ULL << 50, 8));
  VhdxImage image = Reopen();
  EXPECT_EQ(image.PayloadBlockCount(), 0u);
  EXPECT_TRUE(ReadsFail(image));
}

TEST_F(EditedVhdxTest, AbsurdMetadataCountTakesNoItems) {
  Patch(RegionOffset(KnownItem::kMetadata) + 10, Le(0xFFFF, 2));
  VhdxImage image = Reopen();
  EXPECT_TRUE(image.Metadata().empty());
  EXPECT_TRUE(ReadsFail(image));
}

TEST_F(EditedVhdxTest, HasParentMakesADifferencingDiskWithTheParentTableSize) {
  Patch(ItemOffset(KnownItem::kFileParameter) + 4, Le(2, 4));
  VhdxImage image = Reopen();
  EXPECT_EQ(image.DiskTypeText(), "Differencing Disk");
  EXPECT_EQ(image.TotalBatEntries(), 4097);  // one chunk of 4096 payload entries and its bitmap entry
  EXPECT_EQ(ReadAll(image), oracle_);
}

TEST_F(EditedVhdxTest, BothFlagsSetIsAnInvalidDisk) {
  Patch(ItemOffset(KnownItem::kFileParameter) + 4, Le(3, 4));
  EXPECT_EQ(Reopen().DiskTypeText(), "Invalid Disk");
}

TEST_F(EditedVhdxTest, BlockSizeZeroOpensAndEveryReadFails) {
  Patch(ItemOffset(KnownItem::kFileParameter), Le(0, 4));
  VhdxImage image = Reopen();
  EXPECT_EQ(image.DataBlockCount(), 0);
  EXPECT_TRUE(ReadsFail(image));
}

TEST_F(EditedVhdxTest, AbsurdDiskSizeIsBoundedByTheBatRegion) {
  Patch(ItemOffset(KnownItem::kVirtualDiskSize), Le(1ULL << 62, 8));
  VhdxImage image = Reopen();
  EXPECT_EQ(image.DataBlockCount(), std::numeric_limits<std::int32_t>::max());
  EXPECT_LE(image.PayloadBlockCount(), (1u << 20) / 8);
  std::vector<std::uint8_t> start(1 << 20);
  ASSERT_TRUE(image.ReadAt(0, start));
  EXPECT_TRUE(std::equal(start.begin(), start.end(), oracle_.begin()));
}

TEST_F(EditedVhdxTest, TruncatedFileOpensAndFailsOnlyWhereDataIsMissing) {
  std::filesystem::resize_file(path_, std::filesystem::file_size(path_) / 2);
  VhdxImage image = Reopen();
  EXPECT_EQ(image.PayloadBlockCount(), 42u);
  bool anyFailed = false;
  bool anyRead = false;
  std::vector<std::uint8_t> block(1 << 20);
  for (std::uint64_t at = 0; at + block.size() <= oracle_.size(); at += block.size()) {
    if (image.ReadAt(at, block)) {
      anyRead = true;
      EXPECT_TRUE(std::equal(block.begin(), block.end(), oracle_.begin() + static_cast<std::ptrdiff_t>(at)));
    } else {
      anyFailed = true;
    }
  }
  EXPECT_TRUE(anyRead);
  EXPECT_TRUE(anyFailed);
}

TEST(VhdxImageTest, OnlyFilesThatBeginWithTheSignatureOpen) {
  std::vector<std::uint8_t> bytes(300 * 1024, 0);
  VhdxImage image;
  EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(bytes)));
  const std::string_view signature = "vhdxfile";
  std::copy(signature.begin(), signature.end(), bytes.begin());
  EXPECT_TRUE(image.Open(std::make_unique<MemorySource>(bytes)));
  EXPECT_TRUE(image.Regions().empty());
  EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(std::vector<std::uint8_t>(4, 'v'))));
}

TEST(VhdxImageTest, TenGiBDiskGeometry) {
  VhdxImage image;
  ASSERT_TRUE(image.Open(test::Fixture("vhdx-10g.vhdx")));
  EXPECT_EQ(image.VirtualDiskSize(), 10ULL << 30);
  const std::uint64_t blocks = (10ULL << 30) / image.BlockSize();
  EXPECT_EQ(static_cast<std::uint64_t>(image.DataBlockCount()), blocks);
  const auto chunk = static_cast<std::uint64_t>(image.ChunkRatio());
  EXPECT_EQ(static_cast<std::uint64_t>(image.TotalBatEntries()), blocks + (blocks - 1) / chunk);
}

}  // namespace
}  // namespace dravik
