#include "disk/PartitionSearch.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "disk/BootSector.h"
#include "disk/ExtSignature.h"
#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

constexpr std::uint32_t kTranslatedHeads = 255;
constexpr std::uint32_t kTranslatedSectors = 63;
constexpr std::uint64_t kAlignment = 2048;  // 1 MiB in sectors
// What one chunk of the walk searches.
constexpr std::uint32_t kCylindersAChunk = 64;
constexpr std::uint32_t kAlignedAChunk = 64;

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

// A boot sector found at a candidate start.
struct Candidate {
  std::uint64_t lba = 0;
  boot::FoundBootSector found;
};

// Reads candidates and keeps those that carry the boot signature and are a
// boot sector, in the order they are tried. A sector the image does not hold
// reads as zeros and is not read at all.
class CandidateReader {
 public:
  explicit CandidateReader(const SectorReader& reader) : reader_(reader), held_(reader), sector_(kSectorSize) {}

  // True when the sector carries the boot signature. A sector without it
  // may start an ext volume, whose superblock lies two sectors on.
  bool Try(std::uint64_t lba) {
    if (held_.NextFrom(lba) != lba || !reader_.Read(lba, 1, sector_)) return false;
    if (!boot::HasSignature(sector_)) {
      TryExt(lba);
      return false;
    }
    const boot::FoundBootSector found = boot::RecogniseBootSector(sector_);
    if (found.code != 0) kept_.push_back({lba, found});
    return true;
  }

  std::vector<Candidate> Kept() { return std::move(kept_); }

 private:
  void TryExt(std::uint64_t lba) {
    const std::uint64_t superblock = lba + ext::kSuperblockSector;
    if (held_.NextFrom(superblock) != superblock || !reader_.Read(superblock, 1, sector_)) return;
    const ext::FoundExtVolume found = ext::RecogniseSuperblock(sector_);
    if (found.code != 0) kept_.push_back({lba, {found.code, found.sectors}});
  }

  const SectorReader& reader_;
  HeldSectors held_;
  std::vector<std::uint8_t> sector_;
  std::vector<Candidate> kept_;
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

  const std::uint64_t cylinderSectors = std::uint64_t{geometry.heads} * geometry.sectorsPerTrack;
  const std::uint64_t diskSectors = reader.SectorCount();
  const std::uint64_t cylinderEnd = std::uint64_t{geometry.cylinders} * cylinderSectors;
  const std::uint64_t end = std::max(diskSectors, cylinderEnd);

  // Lists the boot sectors found in the order tried; false when the table is full.
  bool full = false;
  const auto take = [&](const Candidate& candidate) {
    if (!table.Contains(candidate.lba)) table.Add({candidate.lba, candidate.found.sectors, candidate.found.code});
    full = table.Count() > 24;
    return !full;
  };

  // Each cylinder: the start of its second track, or its own start when the
  // second track is no boot sector; then the 1 MiB-aligned starts within it
  // that these did not test. Cylinders are searched on every core, a chunk
  // of them at a time, and their boot sectors listed in cylinder order. The
  // walk passes over the cylinders the image holds nothing of.
  if (cylinderSectors != 0 && cylinderEnd != 0) {
    const WalkShape cylinders{0, cylinderEnd, static_cast<std::uint32_t>(cylinderSectors), kCylindersAChunk, false, 0,
                              true, false};
    WalkSectors<std::vector<Candidate>>(
        reader, cylinders, control,
        [&](const SectorChunk& chunk, Bytes) {
          CandidateReader candidates(reader);
          for (std::uint64_t first = chunk.first; first < chunk.first + chunk.sectors; first += cylinderSectors) {
            const std::uint64_t secondTrack = first + geometry.sectorsPerTrack;
            const bool secondTrackSigned = candidates.Try(secondTrack);
            if (!secondTrackSigned) candidates.Try(first);
            const std::uint64_t tested = secondTrackSigned ? secondTrack : first;
            for (std::uint64_t aligned = AlignUp(first); aligned < first + cylinderSectors; aligned += kAlignment)
              if (aligned != secondTrack && aligned != tested) candidates.Try(aligned);
          }
          return candidates.Kept();
        },
        [&](const SectorChunk& chunk, std::vector<Candidate>&& found) {
          auto next = found.begin();
          for (std::uint64_t first = chunk.first; first < chunk.first + chunk.sectors; first += cylinderSectors) {
            if (!control.Continue()) return false;
            if (const std::uint64_t c = first / cylinderSectors; c % 64 == 0) {
              control.Count(0, static_cast<std::uint32_t>(table.Count()), first);
              control.ReportPercent(static_cast<int>(100 * c / geometry.cylinders));
            }
            for (; next != found.end() && next->lba < first + cylinderSectors; ++next)
              if (!take(*next)) return false;
          }
          return true;
        });
    if (full || control.StopRequested()) return true;
  }

  // The 1 MiB-aligned starts past the cylinders, 64 at a time.
  const std::uint64_t firstAligned = AlignUp(cylinderEnd);
  const WalkShape tail{firstAligned, end, static_cast<std::uint32_t>(kAlignment), kAlignedAChunk, false, 0, true, false};
  WalkSectors<std::vector<Candidate>>(
      reader, tail, control,
      [&](const SectorChunk& chunk, Bytes) {
        CandidateReader candidates(reader);
        for (std::uint64_t aligned = chunk.first; aligned < chunk.first + chunk.sectors; aligned += kAlignment)
          candidates.Try(aligned);
        return candidates.Kept();
      },
      [&](const SectorChunk& chunk, std::vector<Candidate>&& found) {
        control.Count(0, static_cast<std::uint32_t>(table.Count()), chunk.first);
        control.ReportPercent(static_cast<int>(100 * chunk.first / end));
        for (const Candidate& candidate : found)
          if (!take(candidate)) return false;
        return true;
      });
  if (full || control.StopRequested()) return true;
  control.Count(0, static_cast<std::uint32_t>(table.Count()), diskSectors);
  return true;
}

}  // namespace dravik
