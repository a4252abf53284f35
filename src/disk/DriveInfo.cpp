#include "disk/DriveInfo.h"

#include <algorithm>

#include "vdisk/VirtualDisk.h"

namespace dravik {

std::string ApproxMegabytes(std::uint64_t sectors) { return std::to_string(sectors >> 11) + " MB (Approx)"; }

std::string Megabytes(std::uint64_t bytes) { return std::to_string(bytes / 1048576) + " MB "; }

std::vector<InfoLine> DiskInfoLines(const DriveTable& table, std::uint16_t driveIndex, const VirtualDisk& disk,
                                    ImageKind kind) {
  const DriveSlot& slot = table.slots.at(driveIndex);
  if (kind == ImageKind::kRaw) {
    return {{"Model\t\t\t:", slot.model},
            {"Capacity\t\t:", Megabytes(disk.Size())},
            {"Disk Type\t\t:", disk.DiskTypeText()}};
  }
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

std::vector<InfoLine> PartitionInfoLines(const PartitionEntry* selected) {
  std::vector<InfoLine> lines{{"Partition type\t\t:", ""},
                              {"Partition Start\t\t:", ""},
                              {"Partition End\t\t:", ""},
                              {"Partition Size\t\t:", ""}};
  if (!selected) return lines;
  // An empty entry at sector 0 gives "-1", shown without its sign.
  std::string end = std::to_string(static_cast<std::int64_t>(selected->start) +
                                   static_cast<std::int64_t>(selected->sectors) - 1);
  end.erase(std::remove(end.begin(), end.end(), '-'), end.end());
  lines[0].value = FsName(selected->code);
  lines[1].value = std::to_string(selected->start);
  lines[2].value = end;
  lines[3].value = ApproxMegabytes(selected->sectors);
  return lines;
}

namespace {

std::uint32_t SliceColor(std::uint16_t code) {
  switch (code) {
    case kFat16: return 0x8FA7F8;
    case kFat32: return 0xFF7777;
    case kNtfs: return 0x77FF77;
    // One amber for the ext kinds, which are one family: a white slice
    // would vanish into the page.
    case kExt2: case kExt3: case kExt4: return 0x40C0F0;
    default: return 0xFFFFFF;
  }
}

constexpr std::uint32_t kFreeColor = 0xFF00FF;

}  // namespace

std::vector<CapacitySlice> CapacityShares(const PartitionTable& table, std::uint64_t diskSectors) {
  std::vector<CapacitySlice> slices;
  std::uint32_t used = 0;
  for (const PartitionEntry& entry : table.Entries()) {
    const std::uint64_t share = diskSectors ? std::min<std::uint64_t>(100, std::uint64_t{entry.sectors} * 100 / diskSectors) : 0;
    slices.push_back({FsName(entry.code), static_cast<std::uint32_t>(share), SliceColor(entry.code)});
    used += static_cast<std::uint32_t>(share);
  }
  if (used < 100) slices.push_back({"FREE", 100 - used, kFreeColor});
  return slices;
}

}  // namespace dravik
