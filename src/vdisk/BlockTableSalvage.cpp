#include "vdisk/BlockTableSalvage.h"

#include <algorithm>
#include <limits>

namespace dravik {

namespace {

using Area = BlockFileLayout::Area;

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  if (alignment <= 1) return value;
  const std::uint64_t rest = value % alignment;
  return rest == 0 ? value : value + (alignment - rest);
}

bool Overlaps(Area a, Area b) { return a.begin < b.end && b.begin < a.end; }

Area AreaOf(const TableEntry& entry, const BlockFileLayout& layout) {
  return {entry.fileOffset, entry.fileOffset + layout.areaSize};
}

bool OutsideTheData(const TableEntry& entry, const BlockFileLayout& layout) {
  if (entry.fileOffset < layout.dataStart || entry.fileOffset >= layout.dataEnd) return true;
  if (entry.fileOffset % std::max<std::uint64_t>(layout.alignment, 1) != 0) return true;
  if (entry.fileOffset > std::numeric_limits<std::uint64_t>::max() - layout.areaSize) return true;
  const Area area = AreaOf(entry, layout);
  return std::any_of(layout.structures.begin(), layout.structures.end(),
                     [&](const Area& structure) { return Overlaps(area, structure); });
}

std::vector<std::size_t> PresentInFileOrder(const std::vector<TableEntry>& entries) {
  std::vector<std::size_t> present;
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].state == TableEntry::kPresent) present.push_back(i);
  std::sort(present.begin(), present.end(),
            [&](std::size_t a, std::size_t b) { return entries[a].fileOffset < entries[b].fileOffset; });
  return present;
}

std::uint64_t CountLost(const std::vector<TableEntry>& entries) {
  return static_cast<std::uint64_t>(std::count_if(
      entries.begin(), entries.end(), [](const TableEntry& e) { return e.state == TableEntry::kLost; }));
}

// Gives the run's lost entries (and its absent ones, when asked) the areas
// in order.
std::uint64_t PlaceInOrder(std::vector<TableEntry>& entries, std::size_t first, std::size_t last, bool absentToo,
                           const std::vector<std::uint64_t>& areas) {
  std::size_t next = 0;
  for (std::size_t i = first; i < last; ++i) {
    const TableEntry::State state = entries[i].state;
    if (state == TableEntry::kLost || (absentToo && state == TableEntry::kAbsent))
      entries[i] = {TableEntry::kPresent, areas[next++]};
  }
  return next;
}

std::uint64_t CountInRun(const std::vector<TableEntry>& entries, std::size_t first, std::size_t last,
                         TableEntry::State state) {
  return static_cast<std::uint64_t>(
      std::count_if(entries.begin() + static_cast<std::ptrdiff_t>(first), entries.begin() + static_cast<std::ptrdiff_t>(last),
                    [&](const TableEntry& e) { return e.state == state; }));
}

bool AnyPresentBefore(const std::vector<TableEntry>& entries, std::uint64_t offset) {
  return std::any_of(entries.begin(), entries.end(),
                     [&](const TableEntry& e) { return e.state == TableEntry::kPresent && e.fileOffset < offset; });
}

// Writers put their tables before the blocks: free space between the
// tables below the first block named is no block's.
std::uint64_t FirstBlockPlace(const std::vector<TableEntry>& entries, const BlockFileLayout& layout) {
  std::uint64_t firstNamed = std::numeric_limits<std::uint64_t>::max();
  for (const TableEntry& entry : entries)
    if (entry.state == TableEntry::kPresent) firstNamed = std::min(firstNamed, entry.fileOffset);
  std::uint64_t start = layout.dataStart;
  for (const Area& structure : layout.structures)
    if (structure.end <= firstNamed) start = std::max(start, structure.end);
  return start;
}

}  // namespace

bool AreaHoldsData(const ByteSource& file, std::uint64_t offset, std::uint64_t size) {
  // Read until the first byte that is not zero: a block that holds data
  // mostly shows it at once, and one sector of a file may be all it holds.
  constexpr std::uint64_t kPiece = 64 * 1024;
  std::vector<std::uint8_t> piece;
  for (std::uint64_t done = 0; done < size; done += kPiece) {
    piece.resize(static_cast<std::size_t>(std::min(kPiece, size - done)));
    if (!file.ReadAt(offset + done, piece)) return std::any_of(piece.begin(), piece.end(), [](std::uint8_t b) { return b != 0; });
    if (std::any_of(piece.begin(), piece.end(), [](std::uint8_t b) { return b != 0; })) return true;
  }
  return false;
}

TableSalvage MarkImplausibleEntries(std::vector<TableEntry>& entries, const BlockFileLayout& layout) {
  TableSalvage salvage;
  for (TableEntry& entry : entries) {
    if (entry.state == TableEntry::kPresent && OutsideTheData(entry, layout)) {
      entry.state = TableEntry::kLost;
      ++salvage.outside;
    }
  }
  const std::vector<std::size_t> present = PresentInFileOrder(entries);
  std::vector<bool> overlapping(present.size(), false);
  for (std::size_t k = 1; k < present.size(); ++k) {
    if (entries[present[k]].fileOffset < entries[present[k - 1]].fileOffset + layout.areaSize)
      overlapping[k] = overlapping[k - 1] = true;
  }
  for (std::size_t k = 0; k < present.size(); ++k) {
    if (!overlapping[k]) continue;
    entries[present[k]].state = TableEntry::kLost;
    ++salvage.overlapping;
  }
  return salvage;
}

std::vector<std::uint64_t> UnclaimedBlockAreas(const std::vector<TableEntry>& entries, const BlockFileLayout& layout) {
  std::vector<std::uint64_t> areas;
  if (layout.areaSize == 0) return areas;
  std::vector<Area> claimed = layout.structures;
  for (const TableEntry& entry : entries)
    if (entry.state == TableEntry::kPresent) claimed.push_back(AreaOf(entry, layout));
  std::sort(claimed.begin(), claimed.end(), [](const Area& a, const Area& b) { return a.begin < b.begin; });
  const auto fill = [&](std::uint64_t from, std::uint64_t to, bool partLastOne) {
    std::uint64_t at = AlignUp(from, layout.alignment);
    if (areas.empty() && layout.rangeHoldsData && layout.alignment < layout.areaSize && !AnyPresentBefore(entries, at)) {
      while (at < to && !layout.rangeHoldsData(at, layout.alignment)) at += layout.alignment;
    }
    for (; at < to; at += layout.areaSize) {
      if (at + layout.areaSize > to && !partLastOne) break;
      if (!layout.holdsData || layout.holdsData(at)) areas.push_back(at);
    }
  };
  std::uint64_t cursor = FirstBlockPlace(entries, layout);
  for (const Area& area : claimed) {
    if (area.begin > cursor) fill(cursor, std::min(area.begin, layout.dataEnd), false);
    cursor = std::max(cursor, area.end);
    if (cursor >= layout.dataEnd) return areas;
  }
  // The last area of a cut file may be held in part.
  fill(cursor, layout.dataEnd, true);
  return areas;
}

TableSalvage PlaceUnclaimedBlocks(std::vector<TableEntry>& entries, const BlockFileLayout& layout) {
  TableSalvage salvage;
  const std::vector<std::uint64_t> areas = UnclaimedBlockAreas(entries, layout);
  salvage.unclaimed = areas.size();
  // A table that names no block while the file holds blocks was lost whole
  // (zeroed, it reads as all absent): none of its entries can be trusted.
  const bool nonePresent = std::none_of(entries.begin(), entries.end(),
                                        [](const TableEntry& e) { return e.state == TableEntry::kPresent; });
  if (nonePresent && !areas.empty()) {
    for (TableEntry& entry : entries)
      if (entry.state == TableEntry::kAbsent) entry.state = TableEntry::kLost;
  }
  const auto areasBetween = [&](std::uint64_t low, std::uint64_t high) {
    std::vector<std::uint64_t> between;
    for (auto it = std::upper_bound(areas.begin(), areas.end(), low); it != areas.end() && *it < high; ++it)
      between.push_back(*it);
    return between;
  };
  // The runs of entries between two present ones (or an end of the table).
  std::size_t first = 0;
  while (first < entries.size() && !areas.empty()) {
    if (entries[first].state == TableEntry::kPresent) {
      ++first;
      continue;
    }
    std::size_t last = first;
    while (last < entries.size() && entries[last].state != TableEntry::kPresent) ++last;
    const bool fromStart = first == 0;
    const bool toEnd = last == entries.size();
    const std::uint64_t low = fromStart ? 0 : entries[first - 1].fileOffset;
    const std::uint64_t high = toEnd ? std::numeric_limits<std::uint64_t>::max() : entries[last].fileOffset;
    const std::vector<std::uint64_t> gap = low < high ? areasBetween(low, high) : std::vector<std::uint64_t>{};
    const std::uint64_t lost = CountInRun(entries, first, last, TableEntry::kLost);
    const std::uint64_t absent = CountInRun(entries, first, last, TableEntry::kAbsent);
    if (!gap.empty()) {
      if (gap.size() == lost) {
        salvage.placed += PlaceInOrder(entries, first, last, false, gap);
      } else if (gap.size() == lost + absent) {
        salvage.placed += PlaceInOrder(entries, first, last, true, gap);
      } else if (lost != 0) {
        // Some of the run's blocks are in the gap, but not which: where the
        // table is known to be damaged, no absent entry of the run can be
        // trusted to read as zeros. A run of absent entries alone is left
        // as it is: a writer may leave freed areas behind.
        for (std::size_t i = first; i < last; ++i)
          if (entries[i].state == TableEntry::kAbsent) entries[i].state = TableEntry::kLost;
      }
    }
    first = last;
  }
  salvage.unsure = CountLost(entries);
  return salvage;
}

TableSalvage SalvageBlockTable(std::vector<TableEntry>& entries, const BlockFileLayout& layout) {
  TableSalvage salvage = MarkImplausibleEntries(entries, layout);
  const TableSalvage placing = PlaceUnclaimedBlocks(entries, layout);
  salvage.unclaimed = placing.unclaimed;
  salvage.placed = placing.placed;
  salvage.unsure = placing.unsure;
  return salvage;
}

std::vector<BlockPlacement> PlaceBetweenNeighbours(const LostBlocks& lost, const std::vector<BlockUse>& use) {
  std::vector<BlockPlacement> placements;
  const std::vector<std::size_t> present = PresentInFileOrder(lost.entries);
  const std::uint64_t blocks = lost.entries.size();
  // Neighbours as (file offset, disk block), with the table's two ends around them.
  struct Neighbour {
    std::uint64_t fileOffset;
    std::int64_t block;
  };
  std::vector<Neighbour> neighbours{{0, -1}};
  for (const std::size_t i : present) neighbours.push_back({lost.entries[i].fileOffset, static_cast<std::int64_t>(i)});
  neighbours.push_back({std::numeric_limits<std::uint64_t>::max(), static_cast<std::int64_t>(blocks)});
  // Where any two blocks lie out of order in the file, its writer did not
  // append them in disk order, and the file's order says nothing anywhere.
  for (std::size_t k = 1; k < neighbours.size(); ++k)
    if (neighbours[k].block <= neighbours[k - 1].block) return placements;
  for (std::size_t k = 1; k < neighbours.size(); ++k) {
    const Neighbour low = neighbours[k - 1];
    const Neighbour high = neighbours[k];
    // The areas lie in file order: those between the neighbours, by search.
    const auto from = std::upper_bound(lost.areas.begin(), lost.areas.end(), low.fileOffset);
    const auto to = std::lower_bound(from, lost.areas.end(), high.fileOffset);
    const std::vector<std::uint64_t> areas(from, to);
    if (areas.empty()) continue;
    // An absent entry is open where the table is known to be damaged
    // around it; elsewhere a writer may have left a freed area behind.
    const auto first = static_cast<std::uint64_t>(low.block + 1);
    const auto last = static_cast<std::uint64_t>(high.block);
    const bool absentOpen = std::any_of(lost.entries.begin() + static_cast<std::ptrdiff_t>(first),
                                        lost.entries.begin() + static_cast<std::ptrdiff_t>(last),
                                        [](const TableEntry& e) { return e.state == TableEntry::kLost; });
    std::vector<std::uint64_t> open;
    std::vector<std::uint64_t> held;
    bool allKnown = true;
    for (std::uint64_t b = first; b < last; ++b) {
      const TableEntry::State state = lost.entries[b].state;
      if (state != TableEntry::kLost && !(absentOpen && state == TableEntry::kAbsent)) continue;
      open.push_back(b);
      const BlockUse blockUse = b < use.size() ? use[b] : BlockUse::kUnknown;
      if (blockUse == BlockUse::kHeld) held.push_back(b);
      if (blockUse == BlockUse::kUnknown) allKnown = false;
    }
    const std::vector<std::uint64_t>* targets = nullptr;
    if (open.size() == areas.size()) targets = &open;
    else if (allKnown && held.size() == areas.size()) targets = &held;
    if (!targets) continue;
    for (std::size_t j = 0; j < areas.size(); ++j) placements.push_back({(*targets)[j], areas[j]});
  }
  return placements;
}

bool TakeUnplacedArea(std::vector<std::uint64_t>& areas, std::uint64_t fileOffset) {
  const auto at = std::find(areas.begin(), areas.end(), fileOffset);
  if (at == areas.end()) return false;
  areas.erase(at);
  return true;
}

SalvageWords DescribeSalvage(const TableSalvage& salvage) {
  if (!salvage.Changed()) return {};
  std::vector<std::string> problems;
  if (salvage.invalid) problems.push_back(std::to_string(salvage.invalid) + " entries hold no valid state");
  if (salvage.outside) problems.push_back(std::to_string(salvage.outside) + " entries point outside the block data");
  if (salvage.overlapping)
    problems.push_back(std::to_string(salvage.overlapping) + " entries point at blocks another entry names");
  if (salvage.unclaimed)
    problems.push_back(std::to_string(salvage.unclaimed) + " blocks in the file are named by no entry");
  if (problems.empty()) problems.push_back(std::to_string(salvage.unsure) + " entries are lost");
  SalvageWords words;
  for (const std::string& problem : problems) words.problem += (words.problem.empty() ? "" : ", ") + problem;
  std::vector<std::string> actions;
  if (salvage.placed)
    actions.push_back(std::to_string(salvage.placed) + " blocks placed where the order of their neighbours puts them");
  if (salvage.unclaimed > salvage.placed)
    actions.push_back(std::to_string(salvage.unclaimed - salvage.placed) + " blocks left unplaced");
  if (salvage.unsure)
    actions.push_back(std::to_string(salvage.unsure) +
                      " entries read as zeros and reported as unreadable (files holding them are named incomplete)");
  for (const std::string& action : actions) words.action += (words.action.empty() ? "" : "; ") + action;
  return words;
}

}  // namespace dravik
