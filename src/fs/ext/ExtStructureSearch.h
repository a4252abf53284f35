#pragma once
// The sector search of an ext Extensive Scan: every sector of a range is
// tested for the start of an ext superblock (magic EF53 at byte 0x38), the
// primary one 1024 bytes into its volume or a copy at the first block of a
// later group. Each superblock names the group whose copy it is, so it
// tells where its volume starts:
//
//   volume start = sector - (g == 0 ? 1024 : (first data block + g * blocks
//                  per group) * block size) / 512
//
// The copies of one volume (same start, volume id, block size and blocks
// count) are gathered into one found volume, read by its best copy: the
// primary when it survives, else the copy written last, those whose
// checksum holds (metadata_csum) before those whose checksum fails.
//
//   0x30 last write time   0x68 volume id (16 bytes)

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs/ext/Superblock.h"
#include "fs/extensive/ExtensiveFindings.h"
#include "util/Bytes.h"

namespace dravik {

class Diagnostics;
class ScanControl;
class SectorReader;

namespace ext {

// A superblock found at a sector, and where that puts its volume.
struct PlacedSuperblock {
  std::uint64_t sector = 0;
  std::uint64_t volumeStart = 0;
  Superblock superblock;
  std::uint32_t writeTime = 0;
  std::array<std::uint8_t, 16> volumeId{};
  bool checksumHolds = true;  // always without metadata_csum
};

// The superblock whose 1024 bytes start at sector, placed; none, with why,
// when it does not decode, its geometry is not one mke2fs makes (an inodes
// count other than groups * inodes per group, a revision past 1, an
// external journal), its group number names no group that keeps a copy, or
// its volume would start before sector 0.
std::optional<PlacedSuperblock> PlaceSuperblock(Bytes bytes, std::uint64_t sector, std::string& why);

// The copies that belong to one volume, and the one it is read by.
struct SuperblockGroup {
  std::vector<PlacedSuperblock> copies;  // by ascending sector
  std::size_t chosen = 0;
};

// Gathers placed superblocks (in any order) by volume, in order of the
// volume's start; in each, the primary copy is chosen when there is one,
// else the one with the latest write time, the first of those on a tie; a
// copy whose checksum holds always before one whose checksum fails.
std::vector<SuperblockGroup> GroupSuperblocks(std::vector<PlacedSuperblock> placed);

}  // namespace ext

// Searches sectors [start, start + sectors) in blocks of blockSectors for ext
// superblocks and adds the volumes they show to findings.fileSystems. A
// volume counts when two of its copies agree on it, when its primary
// superblock alone opens it to a root folder, or when a later copy alone
// shows folders whose first blocks name them; its group descriptors must
// read from the chosen copy. Why superblocks were set aside goes into
// diagnostics. Blocks are searched on threads (0: one a core). The search
// ends, with findings.tooManyStructures, past 65536 superblocks.
void SearchExtStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                         std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                         unsigned threads, Diagnostics& diagnostics);

}  // namespace dravik
