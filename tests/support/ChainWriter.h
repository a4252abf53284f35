#pragma once
// Images qemu-img cannot make, from images it made or from nothing: differencing VHDs and VHDXs naming a parent
// (locators, parent id, sector bitmaps leaving sectors to the parent), VHDXs whose header names a log, VHD layouts and
// claimed sizes of its own. Checksums stay right; qemu-img reads the results, so it stays the oracle.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace dravik::test {

// A run of 512-byte sectors of the virtual disk.
struct SectorRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

struct VhdChildOptions {
  std::vector<std::string> relativeLocators;  // "W2ru" entries, UTF-16LE
  std::vector<std::string> absoluteLocators;  // "W2ku" entries
  std::string parentName;                      // the header's parent name; empty: none
  bool wrongParentId = false;                  // record an id the parent does not have
  // Sectors of the child's present blocks whose bitmap bits are cleared: the parent's show through.
  std::vector<SectorRun> parentSectors;
};

// Makes the dynamic VHD vhd a differencing child of parent (a VHD made by qemu-img).
void MakeVhdChild(const std::filesystem::path& vhd, const std::filesystem::path& parent,
                  const VhdChildOptions& options);

struct VhdxChildOptions {
  std::string relativePath;       // relative_path; empty: none
  std::string absoluteWin32Path;  // absolute_win32_path; empty: none
  bool wrongLinkage = false;      // parent_linkage names another GUID
  // Sectors left to the parent: their blocks become partly present, their bitmap clearing just these.
  std::vector<SectorRun> parentSectors;
};

// Makes the dynamic VHDX vhdx (one chunk of blocks at most) a differencing child of parent.
void MakeVhdxChild(const std::filesystem::path& vhdx, const std::filesystem::path& parent,
                   const VhdxChildOptions& options);

// One descriptor of a log entry: a 4 KiB sector of data, or a run of zeros.
struct LogDescriptorPlan {
  std::uint64_t fileOffset = 0;
  std::vector<std::uint8_t> data;  // 4096 bytes; empty for zeros
  std::uint64_t zeroLength = 0;
};

struct LogEntryPlan {
  std::vector<LogDescriptorPlan> descriptors;
  bool torn = false;  // written with a checksum that does not fit, as a crash mid-write leaves it
};

// Writes the entries from the start of the VHDX's log, with consecutive sequence numbers and the first entry as tail,
// and names the log in both headers. lastFileOffset: the file size the entries give (0: its size now).
void WriteVhdxLog(const std::filesystem::path& vhdx, const std::vector<LogEntryPlan>& entries,
                  std::uint64_t lastFileOffset = 0);

// Where the VHDX's BAT lies in the file; where a payload block's data lies (0: not present).
std::uint64_t VhdxBatOffset(const std::filesystem::path& vhdx);
std::uint64_t VhdxBlockFileOffset(const std::filesystem::path& vhdx, std::uint64_t block);

struct VhdLayout {
  std::uint32_t storedDiskType = 3;
  std::uint32_t blockSize = 2 * 1024 * 1024;
  std::uint64_t virtualSize = 8 * 1024 * 1024;
  std::uint64_t headerOffset = 512;
  std::uint64_t batOffset = 1536;
  // Present blocks: virtual block index -> file sector where its bitmap starts; each filled with a pattern.
  std::map<std::uint32_t, std::uint64_t> blocks;
};
void WriteDynamicVhd(const std::filesystem::path& path, const VhdLayout& layout);

// Makes the VHD claim another disk size in its footer (and the copy at offset 0 of a dynamic disk).
void SetVhdCurrentSize(const std::filesystem::path& vhd, std::uint64_t size);
// Makes the VHDX claim another virtual disk size (metadata has no checksum).
void SetVhdxVirtualSize(const std::filesystem::path& vhdx, std::uint64_t size);

}  // namespace dravik::test
