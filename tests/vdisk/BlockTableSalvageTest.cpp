// The block table salvage on tables shaped as writers leave them: blocks
// appended in disk order, some entries then lost. Where a run of lost
// entries can be placed is decided by counting the unclaimed areas between
// its neighbours; anything else must end up read as failing zeros, never as
// another block's data.

#include <gtest/gtest.h>

#include "vdisk/BlockTableSalvage.h"
#include "vdisk/LayoutInference.h"

namespace dravik {
namespace {

constexpr std::uint64_t kArea = 1 << 20;
constexpr std::uint64_t kStart = 4 * kArea;

TableEntry Present(std::uint64_t slot) { return {TableEntry::kPresent, kStart + slot * kArea}; }
TableEntry Absent() { return {TableEntry::kAbsent, 0}; }
TableEntry Lost() { return {TableEntry::kLost, 0}; }

BlockFileLayout Layout(std::uint64_t slots) {
  BlockFileLayout layout;
  layout.areaSize = kArea;
  layout.alignment = kArea;
  layout.dataStart = kArea;
  layout.dataEnd = kStart + slots * kArea;
  layout.structures = {{kArea, 2 * kArea}, {3 * kArea, 4 * kArea}};  // a log and a table, a free MiB between
  return layout;
}

bool Same(const std::vector<TableEntry>& a, const std::vector<TableEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].state != b[i].state || (a[i].state == TableEntry::kPresent && a[i].fileOffset != b[i].fileOffset)) return false;
  return true;
}

TEST(BlockTableSalvageTest, LostEntriesArePlacedOnlyWhereTheGapsDecide) {
  const TableEntry zero{TableEntry::kZero, 0};
  const struct {
    const char* name;
    std::vector<TableEntry> table;
    std::uint64_t slots;  // areas of the file that hold blocks
    std::vector<TableEntry> want;
    std::size_t outside, placed, unsure;
  } rows[] = {
      {"intact", {Present(0), Absent(), Present(1), Present(2), Absent()}, 3,
       {Present(0), Absent(), Present(1), Present(2), Absent()}, 0, 0, 0},
      // An overwritten entry, one past the end, one at a structure, between
      // blocks in order: each gets the area its neighbours leave; the true
      // absent one stays absent.
      {"runs that fit their gaps", {Present(0), Lost(), {TableEntry::kPresent, 99 * kArea}, Absent(), Present(3), {TableEntry::kPresent, kArea}}, 5,
       {Present(0), Present(1), Present(2), Absent(), Present(3), Present(4)}, 2, 3, 0},
      {"an entry that reads as zeros takes no block", {Present(0), zero, Lost(), Present(2)}, 3, {Present(0), zero, Present(1), Present(2)}, 0, 1, 0},
      {"zeroed entries of a run that all had blocks", {Present(0), Absent(), Absent(), Present(3)}, 4,
       {Present(0), Present(1), Present(2), Present(3)}, 0, 2, 0},
      // The second overwritten with a copy of the first: neither is trusted.
      {"two entries naming one block", {Present(0), Present(0), Present(2)}, 3, {Present(0), Present(1), Present(2)}, 0, 2, 0},
      // Two unclaimed areas, one lost and two absent entries: which held them
      // is unknown, so none of the run reads as zeros.
      {"more open entries than areas", {Present(0), Lost(), Absent(), Absent(), Present(3)}, 4,
       {Present(0), Lost(), Lost(), Lost(), Present(3)}, 0, 0, 3},
      // Without a lost entry a free area is no damage: writers leave them.
      {"a free area and absent entries", {Present(0), Absent(), Absent(), Present(2)}, 3, {Present(0), Absent(), Absent(), Present(2)}, 0, 0, 0},
      {"a lost entry and no unclaimed area", {Present(0), Lost(), Present(1)}, 2, {Present(0), Lost(), Present(1)}, 0, 0, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<TableEntry> entries = row.table;
    const TableSalvage counts = SalvageBlockTable(entries, Layout(row.slots));
    EXPECT_TRUE(Same(entries, row.want));
    EXPECT_EQ(counts.outside, row.outside);
    EXPECT_EQ(counts.placed, row.placed);
    EXPECT_EQ(counts.unsure, row.unsure);
    EXPECT_EQ(counts.Changed(), std::string_view(row.name) != "intact");
    if (row.unsure == 3) {
      EXPECT_NE(DescribeSalvage(counts).action.find("3 entries read as zeros"), std::string::npos);
    }
  }
}

TEST(LayoutInferenceTest, BlockSizeFromTheSpacingMostBlocksKeep) {
  const auto vhdOverhead = [](std::uint32_t) -> std::uint64_t { return 512; };
  const std::uint64_t step = (2u << 20) + 512;
  // Out of order, one block farther away (another structure between).
  EXPECT_EQ(BlockSizeFromSpacing({3 * step, 0, step, 7 * step, 2 * step}, vhdOverhead, 512 * 1024), 2u << 20);
  EXPECT_EQ(BlockSizeFromSpacing({0, 32u << 20, 64u << 20}, [](std::uint32_t) -> std::uint64_t { return 0; }, 1 << 20),
            32u << 20);
  EXPECT_FALSE(BlockSizeFromSpacing({0}, vhdOverhead, 512 * 1024));
  EXPECT_FALSE(BlockSizeFromSpacing({0, 3 * step, 7 * step, 8 * step + 4096}, vhdOverhead, 512 * 1024));
}

TEST(LayoutInferenceTest, PartitionTableExtentIgnoresBootCode) {
  std::vector<std::uint8_t> sector(512, 0);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  const auto entry = [&](std::size_t i, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
    const std::size_t at = 446 + 16 * i;
    sector[at + 4] = type;
    for (std::size_t b = 0; b < 4; ++b) {
      sector[at + 8 + b] = static_cast<std::uint8_t>(start >> (8 * b));
      sector[at + 12 + b] = static_cast<std::uint8_t>(count >> (8 * b));
    }
  };
  entry(0, 0x07, 2048, 100000);
  entry(1, 0x0C, 200000, 4096);
  EXPECT_EQ(PartitionTableExtent(sector), (200000ull + 4096) * 512);
  sector[446 + 16 * 2] = 0x4F;  // code, not a status byte: a volume's boot sector
  EXPECT_EQ(PartitionTableExtent(sector), 0u);
}

// Areas left between two placed blocks go to the open blocks between them
// when the counts agree, or to those the volume holds data in when every
// open block there is known; never where a block is unknown or the
// neighbours lie out of order.
TEST(PlaceBetweenNeighboursTest, AreasFollowTheFileOrderOnlyWhereTheCountsDecide) {
  using U = BlockUse;
  const auto place = [](std::vector<TableEntry> entries, std::vector<std::uint64_t> areaSlots, std::vector<U> use) {
    LostBlocks lost;
    lost.blockSize = kArea;
    lost.entries = std::move(entries);
    for (const std::uint64_t slot : areaSlots) lost.areas.push_back(kStart + slot * kArea);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> placed;  // block, area slot
    for (const BlockPlacement& p : PlaceBetweenNeighbours(lost, use)) placed.push_back({p.block, (p.fileOffset - kStart) / kArea});
    return placed;
  };
  using Placed = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  // Blocks 1 and 2 open between 0 and 3, two areas between them in the file.
  EXPECT_EQ(place({Present(0), Lost(), Absent(), Present(3)}, {1, 2}, {}), (Placed{{1, 1}, {2, 2}}));
  // Four open blocks, two areas: the volume holds data in blocks 2 and 4 only.
  const std::vector<TableEntry> wide{Present(0), Lost(), Absent(), Absent(), Absent(), Present(3)};
  EXPECT_EQ(place(wide, {1, 2}, {U::kHeld, U::kFree, U::kHeld, U::kFree, U::kHeld, U::kHeld}), (Placed{{2, 1}, {4, 2}}));
  // The same with one block the volume cannot tell about: nothing placed.
  EXPECT_TRUE(place(wide, {1, 2}, {U::kHeld, U::kFree, U::kHeld, U::kUnknown, U::kHeld, U::kHeld}).empty());
  // Three held blocks for two areas: nothing tells which one was left out.
  EXPECT_TRUE(place(wide, {1, 2}, {U::kHeld, U::kHeld, U::kHeld, U::kFree, U::kHeld, U::kHeld}).empty());
  // Absent entries alone around an area: a freed area the writer left behind.
  EXPECT_TRUE(place({Present(0), Absent(), Present(3)}, {1}, {U::kHeld, U::kHeld, U::kHeld}).empty());
  // Blocks out of order anywhere (block 4 before block 3 in the file): the
  // file's order says nothing, not even between blocks 0 and 3.
  EXPECT_TRUE(place({Present(0), Lost(), Lost(), Present(3), {TableEntry::kPresent, kStart + 2 * kArea}}, {1, 2}, {}).empty());
  // A table lost whole: the areas before the first and after the last
  // placed block go to the open blocks at the table's ends.
  EXPECT_EQ(place({Lost(), Present(1), Lost(), Lost()}, {0, 2, 3}, {}), (Placed{{0, 0}, {2, 2}, {3, 3}}));
}

}  // namespace
}  // namespace dravik
