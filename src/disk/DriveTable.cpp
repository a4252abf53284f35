#include "disk/DriveTable.h"

#include "vdisk/VirtualDisk.h"

namespace dravik {

void RegisterImage(DriveTable& table, const VirtualDisk& disk) {
  DriveSlot slot;
  slot.model = kImageModel;
  if (disk.CurrentKind() == VirtualDisk::kVhd) {
    slot.cylinders = static_cast<std::uint32_t>(disk.Cylinders());
    slot.heads = static_cast<std::uint32_t>(disk.Heads());
    slot.sectorsPerTrack = static_cast<std::uint32_t>(disk.SectorsPerTrack());
    slot.totalSectors = slot.cylinders * slot.heads * slot.sectorsPerTrack;
  }
  table.slots[0] = slot;
  table.driveCount = 1;
}

}  // namespace dravik
