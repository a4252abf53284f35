#include "disk/PartitionSearch.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

constexpr std::uint32_t kTranslatedHeads = 255;
constexpr std::uint32_t kTranslatedSectors = 63;
constexpr std::uint64_t kAlignment = 2048;  // 1 MiB in sectors

constexpr std::uint64_t kNoSector = std::numeric_limits<std::uint64_t>::max();

// Which sectors the image holds, asked of the reader as the search moves on.
// The last answer is kept: from the sector asked about, the sectors up to its
// run are absent and those of the run held, so candidates within that stretch
// cost no lookup.
class HeldSectors {
 public:
  explicit HeldSectors(const SectorReader& reader) : reader_(reader) {}

  // The first sector at or after lba that may hold data; kNoSector when the
  // image holds nothing from lba on.
  std::uint64_t NextFrom(std::uint64_t lba) {
    if (lba < askedFrom_ || lba >= run_.end) {
      askedFrom_ = lba;
      run_ = reader_.PresentSectors(lba).value_or(SectorRange{kNoSector, kNoSector});
    }
    return std::max(lba, run_.first);
  }

 private:
  const SectorReader& reader_;
  std::uint64_t askedFrom_ = kNoSector;
  SectorRange run_{kNoSector, kNoSector};
};

class Searcher {
 public:
  Searcher(const SectorReader& reader, PartitionTable& table)
      : reader_(reader), table_(table), held_(reader), sector_(kSectorSize) {}

  // Reads a candidate; true when it carries the boot signature. A sector the
  // image does not hold reads as zeros and is not read at all.
  bool Signed(std::uint64_t lba) {
    return held_.NextFrom(lba) == lba && reader_.Read(lba, 1, sector_) && boot::HasSignature(sector_);
  }

  std::uint64_t NextHeld(std::uint64_t lba) { return held_.NextFrom(lba); }

  // Lists the signed sector just read when it is a boot sector not yet in
  // the table; false when the table is full.
  bool Take(std::uint64_t lba) {
    const boot::FoundBootSector found = boot::RecogniseBootSector(sector_);
    if (found.code == 0) return true;
    if (!table_.Contains(lba)) table_.Add({lba, found.sectors, found.code});
    return table_.Count() <= 24;
  }

 private:
  const SectorReader& reader_;
  PartitionTable& table_;
  HeldSectors held_;
  std::vector<std::uint8_t> sector_;
};

std::uint64_t AlignUp(std::uint64_t lba) { return (lba + kAlignment - 1) / kAlignment * kAlignment; }

}  // namespace

DiskGeometry SearchGeometry(const DiskGeometry& drive, std::uint64_t diskSectors) {
  if (drive.sectorsPerTrack == 63 && drive.heads != 0) return drive;
  std::uint64_t total = std::uint64_t{drive.cylinders} * drive.heads * drive.sectorsPerTrack;
  if (total == 0) total = diskSectors;
  const std::uint64_t cylinders = total / (kTranslatedHeads * kTranslatedSectors);
  return {static_cast<std::uint32_t>(std::min<std::uint64_t>(cylinders, std::numeric_limits<std::uint32_t>::max())),
          kTranslatedHeads, kTranslatedSectors};
}

std::string PartitionLabel(std::size_t index) { return "Partition " + std::to_string(index); }

bool SearchPartitions(const SectorReader& reader, const DiskGeometry& geometry, PartitionTable& table,
                      const std::function<PartitionChoice()>& ask, ScanControl& control) {
  const bool search = table.Empty() || (ask && ask() == PartitionChoice::kSearch);
  if (!search || table.Full()) return false;
  control.Report(SearchTexts::kSearching, 0);

  Searcher searcher(reader, table);
  const std::uint64_t cylinderSectors = std::uint64_t{geometry.heads} * geometry.sectorsPerTrack;
  const std::uint64_t diskSectors = reader.SectorCount();
  const std::uint64_t cylinderEnd = std::uint64_t{geometry.cylinders} * cylinderSectors;
  const std::uint64_t end = std::max(diskSectors, cylinderEnd);

  // 1 MiB-aligned starts below `to` that the cylinder candidates did not test.
  std::uint64_t nextAligned = 0;
  const auto searchAligned = [&](std::uint64_t to, std::uint64_t tested1, std::uint64_t tested2) {
    for (; nextAligned < to; nextAligned += kAlignment) {
      if (nextAligned == tested1 || nextAligned == tested2) continue;
      if (searcher.Signed(nextAligned) && !searcher.Take(nextAligned)) return false;
    }
    return true;
  };

  // Candidates in sectors the image does not hold read as zeros and can
  // never be boot sectors: a cylinder without a held sector is passed over,
  // and so is every absent stretch after the cylinders, which leaves the
  // order of the candidates read, and so the table, as a full walk has them.
  for (std::uint64_t c = 0; c < geometry.cylinders; ++c) {
    if (!control.Continue()) return true;
    const std::uint64_t first = c * cylinderSectors;
    if (c % 64 == 0) {
      control.Count(0, static_cast<std::uint32_t>(table.Count()), first);
      control.ReportPercent(static_cast<int>(100 * c / geometry.cylinders));
    }
    if (const std::uint64_t held = searcher.NextHeld(first); cylinderSectors != 0 && held >= first + cylinderSectors) {
      if (held >= cylinderEnd) break;
      const std::uint64_t next = held / cylinderSectors;  // the cylinder of the next held sector
      nextAligned = std::max(nextAligned, AlignUp(next * cylinderSectors));
      control.ReportPercent(static_cast<int>(100 * next / geometry.cylinders));
      c = next - 1;
      continue;
    }
    const std::uint64_t secondTrack = first + geometry.sectorsPerTrack;
    const bool secondTrackSigned = searcher.Signed(secondTrack);
    if (secondTrackSigned) {
      if (!searcher.Take(secondTrack)) return true;
    } else if (searcher.Signed(first) && !searcher.Take(first)) {
      return true;
    }
    if (!searchAligned(first + cylinderSectors, secondTrack, secondTrackSigned ? secondTrack : first)) return true;
  }
  while (nextAligned < end) {
    if (!control.Continue()) return true;
    control.Count(0, static_cast<std::uint32_t>(table.Count()), nextAligned);
    control.ReportPercent(static_cast<int>(100 * nextAligned / end));
    const std::uint64_t held = searcher.NextHeld(nextAligned);
    if (held >= end) break;
    nextAligned = std::max(nextAligned, AlignUp(held));
    if (!searchAligned(std::min(end, nextAligned + 64 * kAlignment), end, end)) return true;
  }
  control.Count(0, static_cast<std::uint32_t>(table.Count()), diskSectors);
  return true;
}

}  // namespace dravik
