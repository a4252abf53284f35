#pragma once
// The table of disks the user can choose from and which one is selected. The
// opened image is always disk 0; no logical drives are listed.

#include <array>
#include <cstdint>
#include <string>

namespace dravik {

class VirtualDisk;

// What is selected in the device tree.
enum class DeviceKind : std::uint16_t { kNothing = 0, kDisk = 1, kLogicalDrive = 2, kNoDevice = 3 };

struct DriveSlot {
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::uint32_t totalSectors = 0;  // cylinders * heads * sectors per track; 0 for VHDX
  std::string model;
};

struct DriveTable {
  static constexpr std::size_t kSlots = 10;
  std::array<DriveSlot, kSlots> slots;
  std::int32_t driveCount = 0;
};

struct SourceSelection {
  DeviceKind kind = DeviceKind::kNothing;
  std::uint16_t driveIndex = 0;
};

inline constexpr const char* kImageModel = "Virtual Hard Disk";

// Puts the opened image into slot 0: its model and, for a VHD, the footer's
// geometry; a VHDX keeps geometry 0.
void RegisterImage(DriveTable& table, const VirtualDisk& disk);

}  // namespace dravik
