#pragma once
// Turns images qemu-img made into ones it cannot make: differencing VHDs and VHDXs naming a parent (locators, parent
// id, sector bitmaps leaving sectors to the parent), VHDXs whose header names a log. Checksums stay right.
// ChainWriter.cpp also holds the writers of VhdWriter.h.

#include <cstdint>
#include <filesystem>
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

}  // namespace dravik::test
