#include "fs/ext/ExtStructureSearch.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>

#include "disk/ExtSignature.h"
#include "disk/SectorReader.h"
#include "fs/ext/Checksums.h"
#include "fs/ext/ExtVolume.h"
#include "fs/extensive/BlockWalk.h"
#include "fs/extensive/RejectionNotes.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"

namespace dravik {

namespace ext {

namespace {

constexpr std::size_t kWriteTimeOffset = 0x30;
constexpr std::size_t kVolumeIdOffset = 0x68;
constexpr std::uint32_t kDynamicRevision = 1;

}  // namespace

std::optional<PlacedSuperblock> PlaceSuperblock(Bytes bytes, std::uint64_t sector, std::string& why) {
  auto decoded = DecodeSuperblock(bytes, why);
  if (!decoded) return std::nullopt;
  const Superblock& s = *decoded;
  const std::uint64_t groups = s.GroupCount();
  const std::uint64_t group = s.groupOfCopy;
  // mke2fs and resize2fs keep the inodes count at groups * inodes per group
  // (the kernel refuses a volume where it is not); a stray EF53 seldom does.
  if (std::uint64_t{s.inodesCount} != groups * s.inodesPerGroup) {
    why = "an inodes count of " + std::to_string(s.inodesCount) + " for " + std::to_string(groups) + " groups of " +
          std::to_string(s.inodesPerGroup);
  } else if (s.revision > kDynamicRevision) {
    why = "revision " + std::to_string(s.revision);
  } else if ((s.incompat & kIncompatJournalDev) != 0) {
    why = "an external journal, not a file system";
  } else if (group >= groups || !s.GroupHasSuperblock(group)) {
    why = "a copy for group " + std::to_string(group) + ", which keeps none in a volume of " +
          std::to_string(groups) + " groups";
  } else {
    const std::uint64_t offset =
        group == 0 ? kSuperblockOffset : (s.firstDataBlock + group * s.blocksPerGroup) * std::uint64_t{s.blockSize};
    if (offset / kSectorSize > sector) {
      why = "a copy for group " + std::to_string(group) + " that would put its volume before sector 0";
      return std::nullopt;
    }
    PlacedSuperblock placed;
    placed.sector = sector;
    placed.volumeStart = sector - offset / kSectorSize;
    placed.superblock = s;
    placed.writeTime = le32(bytes, kWriteTimeOffset);
    std::copy_n(bytes.begin() + kVolumeIdOffset, placed.volumeId.size(), placed.volumeId.begin());
    placed.checksumHolds = SuperblockChecksumHolds(bytes);
    return placed;
  }
  return std::nullopt;
}

std::vector<SuperblockGroup> GroupSuperblocks(std::vector<PlacedSuperblock> placed) {
  std::sort(placed.begin(), placed.end(),
            [](const PlacedSuperblock& a, const PlacedSuperblock& b) { return a.sector < b.sector; });
  using Key = std::tuple<std::uint64_t, std::array<std::uint8_t, 16>, std::uint32_t, std::uint64_t>;
  std::map<Key, SuperblockGroup> byVolume;
  for (PlacedSuperblock& p : placed)
    byVolume[Key{p.volumeStart, p.volumeId, p.superblock.blockSize, p.superblock.blocksCount}].copies.push_back(
        std::move(p));
  std::vector<SuperblockGroup> groups;
  for (auto& [key, group] : byVolume) {
    const auto& copies = group.copies;
    // Ranks: a holding checksum first, then the primary, then the latest write.
    const auto better = [](const PlacedSuperblock& a, const PlacedSuperblock& b) {
      if (a.checksumHolds != b.checksumHolds) return a.checksumHolds;
      const bool aPrimary = a.superblock.groupOfCopy == 0, bPrimary = b.superblock.groupOfCopy == 0;
      if (aPrimary != bPrimary) return aPrimary;
      return !aPrimary && a.writeTime > b.writeTime;
    };
    for (std::size_t i = 1; i < copies.size(); ++i)
      if (better(copies[i], copies[group.chosen])) group.chosen = i;
    groups.push_back(std::move(group));
  }
  return groups;
}

}  // namespace ext

namespace {

using ext::PlacedSuperblock;

// The most superblocks kept: far more than the copies of every volume a disk
// holds; a range full of them ends the search as too many structures.
constexpr std::size_t kMaxSuperblocks = std::size_t{1} << 16;

// What a chunk of the walk holds, in sector order, and how much of it its
// blocks have handed on.
struct ExtChunkFindings {
  std::vector<PlacedSuperblock> placed;
  std::vector<std::pair<std::uint64_t, std::string>> setAside;
  std::size_t placedTaken = 0, setAsideTaken = 0;
};

ExtChunkFindings SearchChunk(const SectorReader& reader, std::uint64_t first, Bytes chunk) {
  ExtChunkFindings found;
  std::vector<std::uint8_t> bytes(ext::kSuperblockSize);
  for (std::size_t i = 0; i < chunk.size() / kSectorSize; ++i) {
    const Bytes sector = chunk.subspan(i * kSectorSize, kSectorSize);
    if (le16(sector, ext::kMagicOffset) != ext::kMagic) continue;
    const std::size_t at = i * kSectorSize;
    if (at + ext::kSuperblockSize <= chunk.size())
      std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(at), ext::kSuperblockSize, bytes.begin());
    else if (!reader.Read(first + i, static_cast<std::uint32_t>(ext::kSuperblockSize / kSectorSize), bytes))
      continue;
    std::string why;
    if (auto placed = ext::PlaceSuperblock(bytes, first + i, why))
      found.placed.push_back(std::move(*placed));
    else
      found.setAside.emplace_back(first + i, std::move(why));
  }
  return found;
}

// How many inodes in use a lone copy's check looks through for folders, and
// how many folders it asks to name themselves.
constexpr std::size_t kSelfCheckInodes = 1 << 16;
constexpr std::size_t kSelfCheckFolders = 8;

// Whether a folder's first block, read where the volume's map puts it,
// begins with its "." entry naming the folder's own inode.
bool NamesItself(const ext::ExtVolume& volume, std::uint32_t number, const ext::Inode& folder) {
  if (ext::ExtVolume::KeepsBytesInInode(folder)) return false;
  const ext::FileMap map = volume.Map(folder);
  if (map.runs.empty() || map.runs.front().logical != 0) return false;
  std::vector<std::uint8_t> block(volume.Blocks().BlockSize());
  if (!volume.Blocks().Read(map.runs.front().physical, block)) return false;
  return ext::DotEntryInode(block) == number;
}

// Whether a superblock standing alone places its volume right. A primary
// whose group number was damaged to 0 puts the volume where no root folder
// lies. A later copy's group number gives the start, and a wrong one (a
// damaged field, or a copy read for another group's) would put the volume
// by whole groups off, where its descriptors still read: so the folders the
// inode tables hold, read through the copy's descriptors, must name
// themselves in their first blocks, as they only do where the volume truly
// starts: most of those looked at, at least one.
bool AlonePlacesItsVolume(const ext::ExtVolume& volume) {
  if (volume.Super().groupOfCopy == 0) {
    const auto root = volume.ReadInode(ext::kRootInode);
    return root && root->IsDirectory();
  }
  std::size_t visited = 0, folders = 0, named = 0;
  volume.ForEachInodeInUse([&](std::uint32_t number, const ext::Inode& inode) {
    if (inode.IsDirectory()) {
      ++folders;
      if (NamesItself(volume, number, inode)) ++named;
    }
    return ++visited < kSelfCheckInodes && folders < kSelfCheckFolders;
  });
  return named > 0 && 2 * named > folders;
}

}  // namespace

void SearchExtStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                         std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                         unsigned threads, Diagnostics& diagnostics) {
  RejectionNotes notes(diagnostics);
  std::vector<PlacedSuperblock> placed;
  WalkRangeBlocks<ExtChunkFindings>(
      reader, start, sectors, blockSectors, threads, control,
      [&](std::uint64_t first, Bytes chunk) { return SearchChunk(reader, first, chunk); },
      [&](ExtChunkFindings& found, std::uint64_t, std::uint64_t blockEnd) {
        for (; found.placedTaken < found.placed.size() && found.placed[found.placedTaken].sector < blockEnd;
             ++found.placedTaken) {
          if (placed.size() == kMaxSuperblocks) {
            findings.tooManyStructures = true;
            return false;
          }
          placed.push_back(std::move(found.placed[found.placedTaken]));
        }
        for (; found.setAsideTaken < found.setAside.size() && found.setAside[found.setAsideTaken].first < blockEnd;
             ++found.setAsideTaken) {
          auto& [sector, why] = found.setAside[found.setAsideTaken];
          notes.Add(sector, "an ext superblock set aside: " + why, "a damaged or unrelated copy");
        }
        control.CountFound({placed.size()});
        return true;
      });

  for (const ext::SuperblockGroup& group : ext::GroupSuperblocks(std::move(placed))) {
    const PlacedSuperblock& chosen = group.copies[group.chosen];
    const ext::Superblock& s = chosen.superblock;
    for (const PlacedSuperblock& copy : group.copies)
      if (!copy.checksumHolds)
        notes.Add(copy.sector,
                  &copy == &chosen ? "an ext superblock whose checksum fails, read as no copy's checksum holds"
                                   : "an ext superblock whose checksum fails, passed over for one whose holds",
                  "a damaged superblock copy");
    Diagnostics unread;
    const auto volume = ext::ExtVolume::OpenBy(reader, chosen.volumeStart, chosen.sector, unread);
    if (!volume) {
      notes.Add(chosen.sector, "an ext superblock whose group descriptors do not read", "a damaged volume");
      continue;
    }
    if (group.copies.size() < 2 && !AlonePlacesItsVolume(*volume)) {
      notes.Add(chosen.sector, "an ext superblock that no other copy confirms and that opens no volume",
                "a stray or damaged copy");
      continue;
    }
    FoundFileSystem found;
    found.fsType = s.Code();
    found.sectorsPerCluster = s.BlockSectors();
    found.clusterBase = chosen.volumeStart;
    found.bootSector = chosen.volumeStart;
    found.superblockSector = chosen.sector;
    found.fsEnd = chosen.volumeStart + s.blocksCount * s.BlockSectors() - 1;
    findings.fileSystems.push_back(found);
  }
}

}  // namespace dravik
