#pragma once
// The label and value lines that both front ends show for a disk.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/DriveTable.h"

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

// The capacity texts: "%d MB (Approx)" of sectors / 2048, and "%ld MB " of bytes / 1 MiB.
std::string ApproxMegabytes(std::uint32_t sectors);
std::string Megabytes(std::uint64_t bytes);

}  // namespace dravik
