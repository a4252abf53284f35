#pragma once
// Where a file's blocks lie: runs of logical blocks on consecutive volume
// blocks, in logical order. Logical blocks no run covers are holes (never
// written, or unwritten extents) and read as zeros.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace dravik::ext {

struct MappedRun {
  std::uint64_t logical = 0;
  std::uint64_t physical = 0;
  std::uint64_t count = 0;
};

struct FileMap {
  std::vector<MappedRun> runs;
  // Part of the map did not read (a bad extent header, a block pointer past
  // the volume); the runs hold what did.
  bool damaged = false;
  std::string why;
  // The blocks the map itself lies in (indirect blocks, extent tree nodes
  // below the root), in the order they were read.
  std::vector<std::uint64_t> mapBlocks;
  // An extent tree block failed its checksum (it was read all the same):
  // where the file is only guessed at (deleted, or an inode copy from the
  // journal) the map is not to be trusted.
  bool checksumFails = false;

  // Appends a run, joining it to the last one when they continue each other.
  void Add(std::uint64_t logical, std::uint64_t physical, std::uint64_t count);
  void Damage(std::string reason);
  void FailChecksum(std::string reason);
};

// Reads a block of a map's own (an indirect block, an extent tree node)
// into a buffer of the block size; false when it does not read. The
// volume's block as a rule; an older copy for a file read through the
// journal.
using MapBlockReader = std::function<bool(std::uint64_t block, std::span<std::uint8_t> buffer)>;

}  // namespace dravik::ext
