#include "disk/DriveInfo.h"

#include "vdisk/VirtualDisk.h"

namespace dravik {

std::string ApproxMegabytes(std::uint32_t sectors) { return std::to_string(sectors >> 11) + " MB (Approx)"; }

std::string Megabytes(std::uint64_t bytes) { return std::to_string(bytes / 1048576) + " MB "; }

std::vector<InfoLine> DiskInfoLines(const DriveTable& table, std::uint16_t driveIndex, const VirtualDisk& disk,
                                    ImageKind kind) {
  const DriveSlot& slot = table.slots.at(driveIndex);
  if (kind == ImageKind::kVhd) {
    return {{"Model\t\t\t:", slot.model},
            {"Capacity\t\t:", ApproxMegabytes(slot.totalSectors)},
            {"Cylinders\t\t:", std::to_string(slot.cylinders)},
            {"Head\t\t\t:", std::to_string(slot.heads)},
            {"Sectors Per Track\t:", std::to_string(slot.sectorsPerTrack)}};
  }
  return {{"Model\t\t\t:", slot.model},
          {"Capacity\t\t:", Megabytes(disk.VirtualDiskSize())},
          {"Disk Type\t\t:", disk.DiskTypeText()},
          {"Data Block Count\t:", std::to_string(disk.DataBlockCount())},
          {"Total Bat Entries\t:", std::to_string(disk.TotalBatEntries())}};
}

}  // namespace dravik
