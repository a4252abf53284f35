#pragma once
// The partitioned test disks of make-partition-fixtures.sh: their layout files and damaged copies of them (mmls and
// fsstat: Oracles.h).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Oracles.h"
#include "TestFiles.h"
#include "disk/FsParams.h"
#include "disk/PartitionTable.h"
#include "vdisk/ByteSource.h"

namespace dravik {

// How gtest shows a partition entry when a comparison fails.
inline void PrintTo(const PartitionEntry& e, std::ostream* os) {
  *os << "{start " << e.start << ", " << e.sectors << " sectors, code " << e.code << "}";
}

}  // namespace dravik

namespace dravik::test {

std::filesystem::path PartitionFixture(const std::string& name);

// NAME.layout: every partition the script made, in table order, with the code of its file system (100 FAT16, 200
// FAT32, 300 NTFS); code 0 marks one the table must not list.
std::vector<PartitionEntry> ReadLayout(const std::string& disk);
// What a partition table reading should give for the layout: the entries with a code, at most the table's capacity.
std::vector<PartitionEntry> ListedEntries(const std::vector<PartitionEntry>& layout);

// A sparse copy of a fixture's raw disk in a temporary folder, to be damaged by byte edits and then opened raw or
// wrapped in a VHDX.
class DiskCopy {
 public:
  explicit DiskCopy(const std::string& disk);
  // A copy of any raw disk, named name in the folder.
  DiskCopy(const std::filesystem::path& raw, const std::string& name);

  std::vector<std::uint8_t> Sector(std::uint64_t lba) const;
  void WriteSector(std::uint64_t lba, const std::vector<std::uint8_t>& sector);
  void ZeroSector(std::uint64_t lba) { WriteSector(lba, std::vector<std::uint8_t>(512, 0)); }
  void Patch(std::uint64_t byteOffset, const std::vector<std::uint8_t>& bytes);

  const std::filesystem::path& Raw() const { return raw_; }
  // The copy as it is now, read as a plain file.
  std::unique_ptr<ByteSource> OpenRaw() const;
  // The copy as it is now, converted by qemu-img to a dynamic VHD or a VHDX (by the extension, "vhd" or "vhdx").
  std::filesystem::path Wrapped(const std::string& extension) const;

 private:
  TempDir dir_;
  std::filesystem::path raw_;
};

// One 16-byte partition record entry (type, start, count), for edits of MBRs and extended boot records.
std::vector<std::uint8_t> RecordEntry(std::uint8_t type, std::uint64_t start, std::uint64_t sectors);
constexpr std::uint64_t RecordEntryOffset(int index) { return 446 + 16 * static_cast<std::uint64_t>(index); }

}  // namespace dravik::test
