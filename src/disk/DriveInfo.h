#pragma once
// The label and value lines that both front ends show for a disk.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/DriveTable.h"
#include "disk/FsParams.h"
#include "disk/PartitionTable.h"

namespace dravik {

class VirtualDisk;
enum class ImageKind;

struct InfoLine {
  std::string label;  // with its tabs and colon, as shown
  std::string value;
};

// The five lines of the drive pane for the disk in slot driveIndex.
std::vector<InfoLine> DiskInfoLines(const DriveTable& table, std::uint16_t driveIndex, const VirtualDisk& disk,
                                    ImageKind kind);

// The four lines of the partition pane; empty values when nothing is selected.
std::vector<InfoLine> PartitionInfoLines(const PartitionEntry* selected);

// One slice of the capacity chart: a partition by its file system, or "FREE".
struct CapacitySlice {
  std::string label;
  std::uint32_t percent;
  std::uint32_t color;  // 0x00BBGGRR
};

// The partitions' shares of the disk's sectors, in table order, then "FREE"
// for what is left (when anything is).
std::vector<CapacitySlice> CapacityShares(const PartitionTable& table, std::uint64_t diskSectors);

// The capacity texts: "%d MB (Approx)" of sectors / 2048, and "%ld MB " of bytes / 1 MiB.
std::string ApproxMegabytes(std::uint64_t sectors);
std::string Megabytes(std::uint64_t bytes);

}  // namespace dravik
