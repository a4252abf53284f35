#pragma once
// The disks of make-extensive-fixtures.sh.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveFindings.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::test {

std::filesystem::path ExtensiveFixture(const std::string& name);

// An image opened as the command opens it, with a reader over it.
struct OpenedImage {
  std::unique_ptr<VirtualDisk> disk = std::make_unique<VirtualDisk>();
  std::unique_ptr<SectorReader> reader;
};
OpenedImage OpenForSearch(const std::filesystem::path& image);

// The parameters to extract found file system index (from 1) of a whole-disk search.
FsParams FoundOnDisk(const ExtensiveFindings& findings, std::uint16_t index, const SectorReader& reader);

// A volume as it was before the damage (NAME.truth): cluster c starts at clusterBase + c * sectorsPerCluster (for NTFS
// clusterBase is the volume's start, and there are no FATs: 0).
struct VolumeTruth {
  std::string type;  // "FAT16", "FAT32" or "NTFS"
  std::uint64_t start = 0;
  std::uint64_t clusterBase = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t firstFat = 0;
  std::uint32_t fatSectors = 0;
};
std::vector<VolumeTruth> ReadTruth(const std::string& disk);

// sha256 by path of the files written to volume (1-based) of the disk.
std::map<std::string, std::string> VolumeFiles(const std::string& disk, int volume);

// The paths of a manifest.
std::set<std::string> Keys(const std::map<std::string, std::string>& files);

}  // namespace dravik::test
