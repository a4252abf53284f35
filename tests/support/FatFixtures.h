#pragma once
// The FAT test disks of make-fat-fixtures.sh. Paths are compared in a canonical
// form ("key"): a deleted short name's lost first letter ("x" in the scan, "_"
// in fls, the original in the manifest) is "x"; every other name as it is.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Oracles.h"
#include "TestFiles.h"
#include "VolumeScan.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::test {

std::filesystem::path FatFixture(const std::string& name);

// The first sector of the volume of a disk of make-fat-fixtures.sh.
std::uint32_t FatStart(const std::string& disk);

struct ManifestFile {
  bool deleted = false;
  std::string path;  // as written on the volume, folders joined by "/"
  std::uint64_t size = 0;
  std::string sha256;
  std::string date;  // yyyy-mm-dd, the write date
  std::string time;  // hh:mm:ss, the write time (UTC)
  std::string key;   // canonical path, as the scan should list it
};
std::vector<ManifestFile> ReadManifest(const std::string& disk);

// The date field of a FAT directory entry.
constexpr std::uint16_t FatDate(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

// Canonical form of a path below a save's destination.
std::string CanonicalSavedPath(const std::string& relative);

// The tree as the command saves a whole FAT volume: every folder and the root's files.
ResultTree WholeTree(RecoveryStore& store);

struct ListedItem {
  std::string key;   // canonical path
  std::string path;  // the names as listed, joined by "/"
  bool deleted = false;
  bool folder = false;
  std::uint64_t size = 0;
};

// The scan's folders, then files, in the store's order; paths from the
// folder of rootId ("?" for a parent the store lacks).
std::vector<ListedItem> ScanItems(const RecoveryStore& store, std::uint32_t rootId = kFatRootId);
// fls -r -p -l of the volume at start, without fls's virtual entries, its
// $OrphanFiles and the volume label, in fls's order.
std::vector<ListedItem> FlsItems(const std::filesystem::path& raw, std::uint32_t start);

// Paths relative to dir of every entry below it ("a", "a/b.txt"...).
std::vector<std::string> ListTree(const std::filesystem::path& dir);
// A file's modification or access time in UTC, "yyyy-mm-dd hh:mm:ss".
std::string FileTimeUtc(const std::filesystem::path& path, bool access);
inline std::string MtimeUtc(const std::filesystem::path& path) { return FileTimeUtc(path, false); }
inline std::string AtimeDateUtc(const std::filesystem::path& path) { return FileTimeUtc(path, true).substr(0, 10); }

}  // namespace dravik::test
