#pragma once
// What the sector search of an Extensive Scan collected, and the file
// systems inferred from it. The lists are in discovery order, that is by
// ascending sector, and stay until the next search, so that one found file
// system after another can be extracted without searching again.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "fs/ntfs/RunList.h"

namespace dravik {

// The start of a FAT directory: a sector beginning with "." and "..".
struct DirClusterRecord {
  std::uint64_t sector = 0;
  std::uint32_t cluster = 0;        // from the "." entry
  std::uint32_t parentCluster = 0;  // from the ".." entry; 0 is the root
  std::uint16_t date1 = 0;          // the "." entry's write date
  std::uint16_t date2 = 0;          // its access date
  // 0: not assigned yet; -1: belongs to no file system found; otherwise the
  // 1-based number of the found file system it belongs to.
  std::int16_t fsNumber = 0;
};

constexpr std::int16_t kNoFileSystem = -1;

// A directory's MFT record found by the NTFS sector search.
struct NtfsFoundFolder {
  std::u16string name;
  std::uint64_t recordLba = 0;
  std::uint32_t parentId = 0;
  std::uint32_t mftNumber = 0;  // 0: not known yet
  std::int16_t fsNumber = 0;    // as DirClusterRecord::fsNumber
  std::uint64_t creationTime = 0;  // of $FILE_NAME
  std::uint64_t changeTime = 0;    // modification, of $STANDARD_INFORMATION (else $FILE_NAME)
  std::uint64_t accessTime = 0;    // as changeTime
  std::uint64_t indexStartCluster = 0;  // first cluster of its "$I30" index allocation; 0 = none
  bool deleted = false;
};

// A file's MFT record found by the NTFS sector search; listed in a found
// file system when its record lies within that file system.
struct NtfsFoundFile {
  std::u16string name;
  std::uint64_t recordLba = 0;
  std::uint32_t parentId = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t changeTime = 0;
  std::uint64_t accessTime = 0;
  std::uint64_t size = 0;
  std::int16_t fsNumber = 0;
  bool deleted = false;
};

// An "INDX" record found by the NTFS sector search.
struct IndexRecordEntry {
  std::uint64_t sector = 0;
  std::uint32_t ownerMft = 0;  // the parent number of its first entry: the folder it indexes
  std::uint32_t vcn = 0;
  std::int16_t fsNumber = kNoFileSystem;
  std::uint8_t sectors = 0;  // its length in sectors
};

// MFT records that carry their own number, gathered by where that number
// puts record 0: a record numbered n at sector s has the anchor s - 2n.
// The records of one run of an MFT share an anchor (for the MFT's first run
// the sector of record 0, for the mirror that of its copy of record 0).
struct MftAnchor {
  std::uint64_t sector = 0;  // the anchor
  std::uint64_t clusterEnd = 0;  // one past the highest cluster the records' run lists name
};

// A copy of one of the first records of an MFT that tells where its volume
// lies or how large it is, with the number its header carries.
struct NtfsSystemRecord {
  static constexpr std::uint32_t kMft = 0;
  static constexpr std::uint32_t kMftMirror = 1;
  static constexpr std::uint32_t kBitmap = 6;
  static constexpr std::uint32_t kBadClusters = 8;

  std::uint64_t sector = 0;
  std::uint32_t number = 0;
  std::vector<ntfs::Run> runs;  // $MFT, $MFTMirr: where their data lies
  std::uint64_t dataSize = 0;   // $Bitmap: bytes of the bitmap; $BadClus: its "$Bad" stream, the volume's bytes
};

struct FoundFileSystem {
  std::uint16_t fsType = 0;  // FsCode: FAT16, FAT32 or NTFS
  std::uint32_t fatSize = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t rootDirSectors = 0;
  std::uint64_t rootStart = 0;
  std::uint32_t reservedSectors = 0;
  std::uint64_t clusterBase = 0;
  std::uint64_t firstFatLba = 0;   // 0 = unknown
  std::uint64_t secondFatLba = 0;  // 0 = unknown
  std::uint64_t mftStart = 0;        // NTFS, from its boot sector; 0 = unknown
  std::uint64_t mftMirrorStart = 0;
  std::uint32_t mftRecordSectors = 0;
  std::uint32_t indexRecordSectors = 0;
  std::uint64_t bootSector = 0;    // the boot sector it was found by; 0 = none
  std::uint64_t superblockSector = 0;  // ext: the superblock (primary or copy) it is read by
  std::uint64_t fsEnd = 0;         // last sector
  std::uint32_t tag = 0;           // 1: a FAT file system whose directories matched

  // "FAT32 @ 4196" or "NTFS @ 2048", the name under which it is listed: the
  // sector of cluster 0, for NTFS the volume's first sector.
  std::string Label() const;
  // The first sector it is known to hold: its boot sector, else cluster 0.
  std::uint64_t Start() const { return bootSector != 0 ? bootSector : clusterBase; }
};

struct ExtensiveFindings {
  std::uint64_t rangeStart = 0;  // the sectors searched
  std::uint64_t rangeSectors = 0;
  std::vector<std::uint64_t> bootSectors;  // the boot-sector list
  std::vector<DirClusterRecord> dirClusters;
  std::vector<NtfsFoundFolder> ntfsFolders;
  std::vector<NtfsFoundFile> ntfsFiles;
  std::vector<IndexRecordEntry> indexRecords;
  std::vector<MftAnchor> mftAnchors;             // by ascending anchor
  std::vector<NtfsSystemRecord> systemRecords;  // by ascending sector
  std::vector<FoundFileSystem> fileSystems;
  bool tooManyStructures = false;  // the search stopped at the boot-sector limit

  // The 1-based number the next file system identified is given.
  std::int16_t NextFsNumber() const { return static_cast<std::int16_t>(fileSystems.size() + 1); }

  void Clear() { *this = ExtensiveFindings{}; }
};

// The parameters under which found file system number index (1-based) is
// extracted and saved, within the searched range.
FsParams ParamsOfFound(const ExtensiveFindings& findings, std::uint16_t index, const FsParams& range);

}  // namespace dravik
