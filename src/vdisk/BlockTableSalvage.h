#pragma once
// Mends a damaged block table (a VHD's or VHDX's BAT) from what the file
// itself shows. Entries that cannot be right are taken as lost; the areas of
// block data that no entry names are found between the ones that are known;
// and where the blocks around a run of lost entries lie in the same order in
// the file as on the disk (as qemu-img, Hyper-V and most writers append
// them), the run's blocks are placed in the gap those blocks leave. What
// cannot be placed reads as zeros and fails, so that every file holding it is
// reported as incomplete rather than saved as if whole.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vdisk/ByteSource.h"

namespace dravik {

// One entry of a block table, in disk order, as the format's reader judged it.
struct TableEntry {
  enum State : std::uint8_t {
    kAbsent,   // a block the disk does not hold (it reads as zeros); a lost entry may look so
    kZero,     // a block the entry says reads as zeros (a state no lost entry takes)
    kPresent,  // a block whose area begins at fileOffset
    kLost,     // an entry that cannot be right (unknown state, past the end, overlapping)
  };
  State state = kAbsent;
  std::uint64_t fileOffset = 0;
};

// What the file holds around the blocks.
struct BlockFileLayout {
  std::uint64_t areaSize = 0;   // bytes one block takes in the file (a VHD's bitmap included)
  std::uint64_t alignment = 1;  // block areas begin at multiples of it
  std::uint64_t dataStart = 0;  // no block area begins before
  std::uint64_t dataEnd = 0;    // nor ends after (a cut file's last area may be partly held)
  // File areas other structures take: headers, tables, logs, bitmaps.
  struct Area {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
  };
  std::vector<Area> structures;
  // Whether the area at a file offset holds data; an area of zeros reads
  // the same as an absent block, and writers leave such areas behind (space
  // kept for later blocks, the room before the first block). None: all do.
  std::function<bool(std::uint64_t)> holdsData;
  // Whether the bytes [offset, offset + size) of the file hold data: zero
  // units before the first block that follows the tables are padding (a
  // writer may align its first block further than the format asks). None:
  // no padding is looked for.
  std::function<bool(std::uint64_t, std::uint64_t)> rangeHoldsData;
};

// Whether the area [offset, offset + size) of the file holds a byte that is
// not zero.
bool AreaHoldsData(const ByteSource& file, std::uint64_t offset, std::uint64_t size);

// What the mending found and did, for the repairs list.
struct TableSalvage {
  std::uint64_t invalid = 0;      // entries that hold no valid state
  std::uint64_t outside = 0;      // present entries whose area begins outside the data or in a structure
  std::uint64_t overlapping = 0;  // present entries whose areas overlap another entry's
  std::uint64_t unclaimed = 0;    // block areas in the file that no entry names
  std::uint64_t placed = 0;       // of them, put back in the table
  std::uint64_t unsure = 0;       // entries whose block may be in the file but could not be placed
  bool Changed() const { return invalid + outside + overlapping + unclaimed + unsure != 0; }
};

// Marks present entries that cannot be right as lost: their area begins
// before the data or past its end, inside another structure, off the
// alignment, or overlaps another entry's area (all of those are lost, as
// nothing tells which one is right).
TableSalvage MarkImplausibleEntries(std::vector<TableEntry>& entries, const BlockFileLayout& layout);

// The block areas between the known ones that no entry and no structure
// claims and that hold data, in file order, from the end of the tables that
// lie before the first block named (writers put their tables first).
std::vector<std::uint64_t> UnclaimedBlockAreas(const std::vector<TableEntry>& entries, const BlockFileLayout& layout);

// Places unclaimed block areas into runs of lost (or, where the file holds
// more blocks than the table names, absent) entries between two present
// ones. A run is placed when the number of unclaimed areas lying between its
// neighbours in the file equals the number of its lost entries, or of its
// lost and absent ones; otherwise, when it holds lost entries and unclaimed
// areas lie in its gap, its absent entries become kLost too (the reader
// reads them as failing zeros). A table that names no block at all while
// the file holds blocks was lost whole: its absent entries become kLost.
// kZero entries never take a block. Returns
// the counts for the repairs list.
TableSalvage PlaceUnclaimedBlocks(std::vector<TableEntry>& entries, const BlockFileLayout& layout);

// Both steps, with the counts of both.
TableSalvage SalvageBlockTable(std::vector<TableEntry>& entries, const BlockFileLayout& layout);

// The repairs list's words for what was done, empty when nothing was:
// problem and action of one repair.
struct SalvageWords {
  std::string problem;
  std::string action;
};
SalvageWords DescribeSalvage(const TableSalvage& salvage);

// What a mended table still misses, for placing by what the volumes inside
// the disk show: the entries in disk order (present ones at the file offset
// of their block's data) and the file offsets of block data that no entry
// names, in file order.
struct LostBlocks {
  const ByteSource* file = nullptr;
  std::uint64_t blockSize = 0;
  std::vector<TableEntry> entries;
  std::vector<std::uint64_t> areas;
};

// Whether an entry may still take an unplaced area whose content shows it
// belongs there: a lost one, or an absent one (a damaged table's entry may
// read as absent).
inline bool IsOpen(const TableEntry& entry) {
  return entry.state == TableEntry::kLost || entry.state == TableEntry::kAbsent;
}

// A block's data at a file offset; offset 0 makes a lost block one that
// reads as zeros.
struct BlockPlacement {
  std::uint64_t block = 0;
  std::uint64_t fileOffset = 0;
};

// Removes fileOffset from an image's unplaced areas; false when it is none
// of them (a placement must take an area the salvage found).
bool TakeUnplacedArea(std::vector<std::uint64_t>& areas, std::uint64_t fileOffset);

// What a volume inside says of a disk block: it keeps data there (allocated
// clusters, its own structures), it keeps none there, or it cannot tell.
enum class BlockUse : std::uint8_t { kUnknown, kFree, kHeld };

// Places unplaced areas between the present blocks on either side of them
// in the file, taking the order of the file as the order of the disk (as
// writers that append blocks in order leave them). Between two such
// neighbours the areas go, in order, to the open blocks between them when
// there are as many open blocks as areas, else to the open blocks the
// volume holds data in when every open block there is known and there are
// as many of those. Anything else stays unplaced: nothing tells which of
// the open blocks were left out because they held only zeros. Absent
// entries count as open only between neighbours with a lost entry between
// them; elsewhere a writer may have left a freed area behind. Where any two
// present blocks lie out of order in the file, nothing is placed.
std::vector<BlockPlacement> PlaceBetweenNeighbours(const LostBlocks& lost, const std::vector<BlockUse>& use);

}  // namespace dravik
