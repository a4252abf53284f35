#pragma once
// The sector search of an NTFS Extensive Scan: every sector of a range is
// tested for an NTFS boot sector, the start of an MFT record or of an index
// record, and what those records tell is harvested: folders, files, index
// records, and what the MFT records say of their volume (MftRecordNotes.h).
//
//   boot sector:  boot::IsNtfsBootSector (disk/BootSector.h)
//   MFT record:   0 "FILE", 28 allocated size (1024)
//   index record: 0 "INDX", 16 VCN, 24 node header: 24 first entry offset
//                 (from 24), 32 allocated size (from 24)
// Index entry: 0 file reference, 8 length, 12 flags (2: last), 16 the
// $FILE_NAME key (16 parent number, 24 creation time, 74 high half of the
// attribute flags, 80 name length, 82 name).

#include <cstdint>
#include <optional>

#include "fs/extensive/ExtensiveFindings.h"
#include "util/Bytes.h"

namespace dravik {

class SectorReader;
class ScanControl;

namespace ntfs {
constexpr std::size_t kIndexVcnOffset = 16;
constexpr std::size_t kIndexNodeOffset = 24;
constexpr std::size_t kIndexFirstEntryOffset = 24;
constexpr std::size_t kIndexAllocatedOffset = 32;
constexpr std::size_t kEntryLengthOffset = 8;
constexpr std::size_t kEntryFlagsOffset = 12;
constexpr std::uint32_t kEntryLast = 0x02;
constexpr std::size_t kEntryKeyOffset = 16;
constexpr std::size_t kEntryParentOffset = 16;
constexpr std::size_t kEntryCreationOffset = 24;
constexpr std::size_t kEntryFlagsHighOffset = 74;
constexpr std::uint16_t kEntryDirectoryHigh = 0x1000;
constexpr std::size_t kEntryNameLengthOffset = 80;
constexpr std::size_t kEntryNameOffset = 82;
// The longest index record that is read.
constexpr std::size_t kMaxIndexRecordBytes = 65536;
}  // namespace ntfs

// What an MFT record (1024 bytes, fixed up) found at sector s holds: a folder
// or a file, or neither (no name, flags neither 0 to 3, an extension record).
struct HarvestedRecord {
  std::optional<NtfsFoundFolder> folder;
  std::optional<NtfsFoundFile> file;
};
HarvestedRecord HarvestMftRecord(Bytes record, std::uint64_t s);

// The bytes an index record at the start of these bytes takes (its
// allocated size + 24), or none above 65536.
std::optional<std::size_t> IndexRecordBytes(Bytes start);
// The index record (fixed up) at sector s, when its first entry names a
// folder other than the system's first records.
std::optional<IndexRecordEntry> HarvestIndexRecord(Bytes record, std::uint64_t s);

// Searches sectors [start, start + sectors) in blocks of blockSectors,
// appending to findings. Sectors the image does not hold are passed over; a
// stop request ends the search, what was found stays. The blocks are searched
// on threads (0: one a core), the findings the same as on one.
void SearchNtfsStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                          std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                          unsigned threads = 0);

}  // namespace dravik
