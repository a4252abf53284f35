// VHDX images from qemu-img with one thing broken or changed by a byte edit:
// each must open or fail as a damaged image should, and read what is left.

#include <gtest/gtest.h>

#include <functional>

#include "TestFiles.h"
#include "util/Bytes.h"
#include "util/Crc32.h"
#include "vdisk/VhdxImage.h"
#include "vdisk/VhdxMetadataCheck.h"

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
    SealRegionTable1();
  }

  // Makes region table 1's checksum fit its bytes again, so an edited table
  // is taken as valid.
  void SealRegionTable1() {
    auto file = test::ReadFileBytes(path_);
    std::vector<std::uint8_t> table(file.begin() + vhdx::kRegionTableOffset,
                                    file.begin() + vhdx::kRegionTableOffset + vhdx::kTableSize);
    std::fill_n(table.begin() + 4, 4, std::uint8_t{0});
    Patch(vhdx::kRegionTableOffset + 4, Le(Crc32c(table), 4));
  }

  // Gives header 1 a sequence number above header 2's and a checksum that
  // fits, so that header 1 is the current one.
  void MakeHeader1Current() {
    const auto file = test::ReadFileBytes(path_);
    const auto sequence = [&](std::uint64_t header) {
      std::uint64_t value = 0;
      for (int i = 7; i >= 0; --i) value = value << 8 | file[header + 8 + static_cast<std::uint64_t>(i)];
      return value;
    };
    ASSERT_GT(sequence(vhdx::kHeader2Offset), sequence(vhdx::kHeader1Offset)) << "qemu-img's header 2 is current";
    std::vector<std::uint8_t> header(file.begin() + vhdx::kHeader1Offset,
                                     file.begin() + vhdx::kHeader1Offset + vhdx::kHeaderSize);
    const auto higher = Le(sequence(vhdx::kHeader2Offset) + 1, 8);
    std::copy(higher.begin(), higher.end(), header.begin() + 8);
    std::fill_n(header.begin() + 4, 4, std::uint8_t{0});
    const auto crc = Le(Crc32c(header), 4);
    std::copy(crc.begin(), crc.end(), header.begin() + 4);
    Patch(vhdx::kHeader1Offset, header);
    VhdxImage image;
    ASSERT_TRUE(image.Open(path_));
    ASSERT_TRUE(image.Repairs().empty()) << "a resealed header 1 is valid";
  }

  std::vector<Repair> Repairs() {
    VhdxImage image;
    image.Open(path_);
    return image.Repairs();
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

TEST_F(EditedVhdxTest, AbsurdRegionCountMakesTable2Used) {
  Patch(vhdx::kRegionTableOffset + 8, Le(5000, 4));
  SealRegionTable1();
  VhdxImage image = Reopen();
  EXPECT_EQ(image.Regions().size(), 2u);
  EXPECT_EQ(ReadAll(image), oracle_);
  EXPECT_EQ(image.Repairs(), (std::vector<Repair>{{"region table 1", "claims 5000 entries", "table 2 used"}}));
}

TEST_F(EditedVhdxTest, RegionsPastTheEndOfTheFileLeaveNoBlocks) {
  for (std::size_t i = 0; i < 2; ++i) Patch(vhdx::kRegionTableOffset + 16 + 32 * i + 16, Le(1ULL << 50, 8));
  SealRegionTable1();
  VhdxImage image = Reopen();
  EXPECT_EQ(image.PayloadBlockCount(), 0u);
  EXPECT_TRUE(ReadsFail(image));
}

// Without metadata the block table tells the block size (by the spacing of
// its blocks) and the disk's size (to the end of its last block, 1 MiB
// past the disk here): everything the disk holds reads as it should.
TEST_F(EditedVhdxTest, AbsurdMetadataCountTakesNoItemsAndTheBlockTableStandsIn) {
  Patch(RegionOffset(KnownItem::kMetadata) + 10, Le(0xFFFF, 2));
  VhdxImage image = Reopen();
  EXPECT_TRUE(image.Metadata().empty());
  EXPECT_EQ(image.BlockSize(), 1u << 20);
  EXPECT_EQ(image.Size(), 42u << 20);
  EXPECT_EQ(ReadAll(image), oracle_);
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

TEST_F(EditedVhdxTest, ZeroOrWrongBlockSizeIsTakenFromTheBlockSpacing) {
  for (const std::uint32_t claimed : {0u, 2u << 20}) {
    Patch(ItemOffset(KnownItem::kFileParameter), Le(claimed, 4));
    VhdxImage image = Reopen();
    EXPECT_EQ(image.BlockSize(), 1u << 20);
    ASSERT_EQ(image.Repairs().size(), 1u);
    EXPECT_EQ(image.Repairs()[0].structure, "metadata: block size");
    EXPECT_EQ(ReadAll(image), oracle_);
  }
}

// A size no disk has is replaced by what the block table reaches, never by
// the size the BAT region could map (up to 128 GiB for a 1 MiB region).
TEST_F(EditedVhdxTest, AbsurdDiskSizeIsReplacedByWhatTheBlockTableReaches) {
  Patch(ItemOffset(KnownItem::kVirtualDiskSize), Le(1ULL << 62, 8));
  VhdxImage image = Reopen();
  EXPECT_EQ(image.Size(), 42u << 20);
  ASSERT_EQ(image.Repairs().size(), 1u);
  EXPECT_EQ(image.Repairs()[0].structure, "metadata: virtual disk size");
  EXPECT_NE(image.Repairs()[0].problem.find("more than 64 TiB"), std::string::npos);
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

TEST(VhdxImageTest, FilesWithoutAnyVhdxStructureDoNotOpen) {
  std::vector<std::uint8_t> bytes(300 * 1024, 0);
  VhdxImage image;
  EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(bytes)));
  EXPECT_TRUE(image.NoStructureFound());
  EXPECT_NE(image.Diagnostic().find("no VHDX structure was found"), std::string::npos) << image.Diagnostic();
  // The identifier alone is a VHDX whose regions cannot be found: damaged, not foreign.
  const std::string_view signature = "vhdxfile";
  std::copy(signature.begin(), signature.end(), bytes.begin());
  EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(bytes)));
  EXPECT_FALSE(image.NoStructureFound());
  EXPECT_NE(image.Diagnostic().find("the BAT and the metadata cannot be found"), std::string::npos);
  EXPECT_FALSE(image.Open(std::make_unique<MemorySource>(std::vector<std::uint8_t>(4, 'v'))));
}

// One structure broken per case: the disk must still read as qemu-img wrote
// it, and the repair must say what was done.
TEST_F(EditedVhdxTest, DamagedCopiesAreReplacedByTheOtherCopy) {
  const std::vector<std::uint8_t> zeros(vhdx::kTableSize, 0);
  struct Case {
    const char* name;
    std::function<void()> damage;
    std::vector<Repair> repairs;
  };
  const std::vector<Case> cases = {
      {"identifier zeroed", [&] { Patch(0, std::vector<std::uint8_t>(8, 0)); },
       {{"file type identifier", "missing", "ignored: a valid header shows the file is a VHDX"}}},
      {"header 1 zeroed", [&] { Patch(vhdx::kHeader1Offset, std::vector<std::uint8_t>(4096, 0)); },
       {{"header 1", "zeroed", "header 2 used"}}},
      // qemu-img leaves header 2 current (its sequence number is one
      // higher); broken, the older header 1 is used.
      {"header 2 checksum", [&] { Patch(vhdx::kHeader2Offset + 4, {0xDE, 0xAD}); },
       {{"header 2", "bad checksum", "header 1 used"}}},
      // Header 1 made current, then broken: its higher sequence number must
      // not win over its checksum.
      {"current header 1 checksum",
       [&] {
         MakeHeader1Current();
         Patch(vhdx::kHeader1Offset + 4, {0xDE, 0xAD});
       },
       {{"header 1", "bad checksum", "header 2 used"}}},
      {"current header 1 zeroed",
       [&] {
         MakeHeader1Current();
         Patch(vhdx::kHeader1Offset, std::vector<std::uint8_t>(vhdx::kHeaderSize, 0));
       },
       {{"header 1", "zeroed", "header 2 used"}}},
      {"region table 1 zeroed", [&] { Patch(vhdx::kRegionTableOffset, zeros); },
       {{"region table 1", "zeroed", "table 2 used"}}},
      {"region table 1 checksum", [&] { Patch(vhdx::kRegionTableOffset + 4, {0xDE, 0xAD}); },
       {{"region table 1", "bad checksum", "table 2 used"}}},
      {"region table 1 checksum, table 2 zeroed",
       [&] {
         Patch(vhdx::kRegionTableOffset + 4, {0xDE, 0xAD});
         Patch(vhdx::kRegionTable2Offset, zeros);
       },
       {{"region table 1", "bad checksum", "its entries used: they are plausible"}}},
      {"table 1 zeroed, table 2 checksum",
       [&] {
         Patch(vhdx::kRegionTableOffset, zeros);
         Patch(vhdx::kRegionTable2Offset + 4, {0xDE, 0xAD});
       },
       {{"region table 2", "bad checksum", "its entries used: they are plausible"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path_);
    std::filesystem::copy_file(test::Fixture("vhdx-dynamic-1m.vhdx"), path_);
    c.damage();
    VhdxImage image = Reopen();
    EXPECT_EQ(image.Repairs(), c.repairs);
    EXPECT_EQ(ReadAll(image), oracle_);
  }
}

TEST_F(EditedVhdxTest, ImplausibleRegionsOfADamagedTableAreNotTrusted) {
  Patch(vhdx::kRegionTable2Offset, std::vector<std::uint8_t>(vhdx::kTableSize, 0));
  // Table 1 with a bad checksum and its BAT moved off the 1 MiB grid.
  const std::uint64_t bat = OriginalRegionEntry(0)[0] == 0x66 ? 0 : 1;
  Patch(vhdx::kRegionTableOffset + 16 + 32 * bat + 16, Le(RegionOffset(KnownItem::kBat) + 4096, 8));
  // Neither table is trusted; the regions are then found by search.
  VhdxImage image = Reopen();
  EXPECT_NE(image.Diagnostic().find("not 1 MiB-aligned"), std::string::npos) << image.Diagnostic();
  ASSERT_FALSE(image.Repairs().empty());
  EXPECT_NE(image.Repairs().back().action.find("by search"), std::string::npos);
  EXPECT_EQ(ReadAll(image), oracle_);
}

TEST_F(EditedVhdxTest, ImplausibleMetadataValuesAreRefused) {
  Patch(ItemOffset(KnownItem::kLogicalSectorSize), Le(1000, 4));
  Patch(ItemOffset(KnownItem::kFileParameter), Le(3 << 20, 4));
  VhdxImage image = Reopen();
  const auto& repairs = image.Repairs();
  ASSERT_EQ(repairs.size(), 2u);
  EXPECT_EQ(repairs[0], (Repair{"metadata: block size", "implausible: 3145728 bytes is no power of two from 1 MiB to 256 MiB",
                                "1048576 inferred from the spacing of the BAT's blocks"}));
  EXPECT_EQ(repairs[1].action, "512 assumed");
  EXPECT_EQ(image.LogicalSectorSize(), 512u);
  EXPECT_EQ(ReadAll(image), oracle_);
}

TEST(VhdxMetadataCheckTest, BoundsOfEachValue) {
  using namespace vhdx;
  for (std::uint32_t ok : {1u << 20, 32u << 20, 256u << 20}) EXPECT_FALSE(ImplausibleBlockSize(ok)) << ok;
  for (std::uint32_t bad : {0u, 512u << 10, 3u << 20, 512u << 20}) EXPECT_TRUE(ImplausibleBlockSize(bad)) << bad;
  EXPECT_FALSE(ImplausibleLogicalSectorSize(4096));
  EXPECT_TRUE(ImplausibleLogicalSectorSize(1024));
  EXPECT_FALSE(ImplausibleVirtualDiskSize(kMaxVirtualDiskSize, 4096));
  EXPECT_TRUE(ImplausibleVirtualDiskSize(kMaxVirtualDiskSize + 4096, 4096));
  EXPECT_TRUE(ImplausibleVirtualDiskSize(4096 + 512, 4096));
  EXPECT_TRUE(ImplausibleVirtualDiskSize(0, 512));
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
